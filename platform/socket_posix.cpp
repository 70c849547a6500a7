// POSIX sockets. The socket is non-blocking from its creation on, and every
// wait goes through poll() with the caller's limit, so no call can hold the
// calling thread longer than that limit.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"

namespace platform {
namespace {

// Waits for `events` on the socket for at most `timeoutMs`, resuming after
// signals with the time that is left. True when the socket is ready.
bool WaitFor(SocketHandle socket, short events, uint32_t timeoutMs) {
  const uint32_t start = TickCountMs();
  for (;;) {
    const uint32_t elapsed = TickCountMs() - start;
    if (elapsed > timeoutMs) return false;
    pollfd entry{};
    entry.fd = socket;
    entry.events = events;
    const int ready = poll(&entry, 1, static_cast<int>(timeoutMs - elapsed));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool StartSockets() { return true; }

SocketHandle OpenStreamSocket() {
  const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  return handle < 0 ? kInvalidSocket : handle;
}

uint16_t PortToNetworkOrder(uint16_t port) { return htons(port); }

uint32_t DottedToAddress(const char* host) { return inet_addr(host); }

bool ResolveFirstAddress(const char* host, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  bool ok = false;
  if (found->ai_family == AF_INET && found->ai_addr != nullptr) {
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ok = true;
  }
  freeaddrinfo(found);
  return ok;
}

bool ConnectWithin(SocketHandle socket, uint32_t address, uint16_t port, uint32_t timeoutMs) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = port;
  target.sin_addr.s_addr = address;
  if (connect(socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (!WaitFor(socket, POLLOUT, timeoutMs)) return false;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
}

int SendWithin(SocketHandle socket, const char* data, int length, uint32_t timeoutMs) {
  const uint32_t start = TickCountMs();
  for (;;) {
    // MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE in the host.
    const ssize_t sent = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const uint32_t elapsed = TickCountMs() - start;
    if (elapsed >= timeoutMs || !WaitFor(socket, POLLOUT, timeoutMs - elapsed)) return -1;
  }
}

int ReceiveWithin(SocketHandle socket, char* buffer, int size, uint32_t timeoutMs) {
  const uint32_t start = TickCountMs();
  for (;;) {
    const ssize_t received = recv(socket, buffer, static_cast<size_t>(size), 0);
    if (received >= 0) return static_cast<int>(received);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const uint32_t elapsed = TickCountMs() - start;
    if (elapsed >= timeoutMs || !WaitFor(socket, POLLIN, timeoutMs - elapsed)) return -1;
  }
}

void CloseSocket(SocketHandle socket) { close(socket); }

}  // namespace platform
