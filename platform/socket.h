// The socket seam: a blocking-style IPv4 TCP client whose every wait is
// bounded. The transport reaches the network only through these functions;
// each platform implements them in a file of its own.
#ifndef MAILQUARRY_PLATFORM_SOCKET_H
#define MAILQUARRY_PLATFORM_SOCKET_H

#include <cstdint>

namespace platform {

#if defined(_WIN32)
using SocketHandle = uintptr_t;
#else
using SocketHandle = int;
#endif
constexpr SocketHandle kInvalidSocket = static_cast<SocketHandle>(-1);

// Starts the socket library for this use; false when it cannot be started.
// It is never stopped again: other users in the process may rely on it.
bool StartSockets();

// A new IPv4 stream socket, or kInvalidSocket.
SocketHandle OpenStreamSocket();

// The port in network byte order (htons).
uint16_t PortToNetworkOrder(uint16_t port);

// Converts a dotted IPv4 address the way inet_addr does. The result is in
// network byte order; all bits set means "not an address" (the all-ones
// address reads the same and is therefore handed to the resolver).
uint32_t DottedToAddress(const char* host);

// Resolves a name to its first IPv4 address, in network byte order. False
// when the name does not resolve. Safe to call on many threads at once.
bool ResolveFirstAddress(const char* host, uint32_t* address);

// Connects to address:port (network byte order), waiting at most
// `timeoutMs`. False when the connection is refused, fails or times out.
bool ConnectWithin(SocketHandle socket, uint32_t address, uint16_t port,
                   uint32_t timeoutMs);

// Sends what the system accepts of `data` in one call, waiting at most
// `timeoutMs` for room: the count accepted, or -1.
int SendWithin(SocketHandle socket, const char* data, int length,
               uint32_t timeoutMs);

// Receives into `buffer`, waiting at most `timeoutMs` for data: the count
// received, 0 when the peer has closed, -1 on an error or when the time ran
// out.
int ReceiveWithin(SocketHandle socket, char* buffer, int size,
                  uint32_t timeoutMs);

void CloseSocket(SocketHandle socket);

}  // namespace platform

#endif
