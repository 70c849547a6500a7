// Windows Sockets, from wsock32.dll. The socket is non-blocking from its
// creation on (FIONBIO), and every wait goes through select() with the
// caller's limit, so no call can hold the database server's worker thread
// longer than that limit.
#include "platform/socket.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/wsock32.h"

namespace platform {
namespace {

namespace ws = wsock;

// Winsock 2.0: major version in the low byte.
constexpr uint16_t kWinsockVersion = 0x0002;

ws::timeval TimeValOf(uint32_t ms) {
  ws::timeval limit{};
  limit.tv_sec = static_cast<long>(ms / 1000);
  limit.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return limit;
}

ws::fd_set SetOf(SocketHandle socket) {
  ws::fd_set set{};
  set.fd_count = 1;
  set.fd_array[0] = socket;
  return set;
}

// Waits at most `timeoutMs` until the socket can be read (or written, when
// `forWriting`). A connection attempt that fails is reported in the
// exception set, which counts as ready: the caller then learns the failure
// from the socket itself.
bool WaitFor(SocketHandle socket, bool forWriting, uint32_t timeoutMs) {
  ws::fd_set ready = SetOf(socket);
  ws::fd_set failed = SetOf(socket);
  const ws::timeval limit = TimeValOf(timeoutMs);
  const int count = ws::select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr,
                               forWriting ? &failed : nullptr, &limit);
  return count > 0;
}

bool WouldBlock() { return ws::WSAGetLastError() == ws::WSAEWOULDBLOCK; }

}  // namespace

bool StartSockets() {
  // Each connection starts Winsock once more and never stops it: the
  // database server's own use of Winsock must not be undone by ours.
  ws::WSADATA data;
  return ws::WSAStartup(kWinsockVersion, &data) == 0;
}

SocketHandle OpenStreamSocket() {
  const ws::SOCKET handle = ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP);
  if (handle == ws::INVALID_SOCKET) return kInvalidSocket;
  unsigned long nonBlocking = 1;
  if (ws::ioctlsocket(handle, ws::FIONBIO, &nonBlocking) != 0) {
    ws::closesocket(handle);
    return kInvalidSocket;
  }
  return handle;
}

uint16_t PortToNetworkOrder(uint16_t port) { return ws::htons(port); }

uint32_t DottedToAddress(const char* host) {
  return static_cast<uint32_t>(ws::inet_addr(host));
}

bool ResolveFirstAddress(const char* host, uint32_t* address) {
  // Winsock keeps the record gethostbyname returns per thread, so calls on
  // different threads do not overwrite each other's; the first address is
  // copied out at once.
  const ws::hostent* found = ws::gethostbyname(host);
  if (found == nullptr || found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
    return false;
  }
  std::memcpy(address, found->h_addr_list[0], sizeof *address);
  return true;
}

bool ConnectWithin(SocketHandle socket, uint32_t address, uint16_t port, uint32_t timeoutMs) {
  ws::sockaddr_in target{};
  target.sin_family = ws::AF_INET;
  target.sin_port = port;
  target.sin_addr.s_addr = address;
  ws::sockaddr name{};
  static_assert(sizeof name == sizeof target, "a sockaddr_in is 16 bytes");
  std::memcpy(&name, &target, sizeof name);
  if (ws::connect(socket, &name, static_cast<int>(sizeof name)) == 0) return true;
  const int error = ws::WSAGetLastError();
  if (error != ws::WSAEWOULDBLOCK && error != ws::WSAEINPROGRESS) return false;
  if (!WaitFor(socket, true, timeoutMs)) return false;
  int result = 0;
  int length = static_cast<int>(sizeof result);
  if (ws::getsockopt(socket, ws::SOL_SOCKET, ws::SO_ERROR, reinterpret_cast<char*>(&result),
                     &length) != 0) {
    return false;
  }
  return result == 0;
}

int SendWithin(SocketHandle socket, const char* data, int length, uint32_t timeoutMs) {
  const uint32_t start = TickCountMs();
  for (;;) {
    const int sent = ws::send(socket, data, length, 0);
    if (sent != ws::SOCKET_ERROR) return sent;
    if (!WouldBlock()) return -1;
    const uint32_t elapsed = TickCountMs() - start;
    if (elapsed >= timeoutMs || !WaitFor(socket, true, timeoutMs - elapsed)) return -1;
  }
}

int ReceiveWithin(SocketHandle socket, char* buffer, int size, uint32_t timeoutMs) {
  const uint32_t start = TickCountMs();
  for (;;) {
    const int received = ws::recv(socket, buffer, size, 0);
    if (received != ws::SOCKET_ERROR) return received;
    if (!WouldBlock()) return -1;
    const uint32_t elapsed = TickCountMs() - start;
    if (elapsed >= timeoutMs || !WaitFor(socket, false, timeoutMs - elapsed)) return -1;
  }
}

void CloseSocket(SocketHandle socket) { ws::closesocket(socket); }

}  // namespace platform
