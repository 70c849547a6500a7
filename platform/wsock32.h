// Our declarations of the Windows Sockets functions that the transport uses,
// taken from wsock32.dll by ordinal (see wsock32-i686.def and
// wsock32-x86_64.def), with the few types and constants they need. Only
// socket_win.cpp includes this file.
#ifndef MAILQUARRY_PLATFORM_WSOCK32_H
#define MAILQUARRY_PLATFORM_WSOCK32_H

#include <cstdint>

namespace platform {
namespace wsock {

typedef uintptr_t SOCKET;
constexpr SOCKET INVALID_SOCKET = static_cast<SOCKET>(~static_cast<uintptr_t>(0));
constexpr int SOCKET_ERROR = -1;

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_ERROR = 0x1007;
constexpr long FIONBIO = static_cast<long>(0x8004667EL);
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;

// WSAStartup fills this in; nothing reads it. Its layout differs between
// 32 and 64 bits (400 and 408 bytes), so it is kept as room enough for both.
struct WSADATA {
  alignas(8) unsigned char bytes[512];
};

struct in_addr {
  uint32_t s_addr;
};

struct sockaddr {
  uint16_t sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  int16_t sin_family;
  uint16_t sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};

struct hostent {
  char* h_name;
  char** h_aliases;
  int16_t h_addrtype;
  int16_t h_length;
  char** h_addr_list;
};

// Winsock's fd_set is a count and an array of handles, not a bit mask.
struct fd_set {
  unsigned int fd_count;
  SOCKET fd_array[64];
};

struct timeval {
  long tv_sec;
  long tv_usec;
};

extern "C" {
int __stdcall closesocket(SOCKET s);                                                // 3
int __stdcall connect(SOCKET s, const sockaddr* name, int namelen);                 // 4
int __stdcall getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);  // 7
uint16_t __stdcall htons(uint16_t hostshort);                                       // 9
unsigned long __stdcall inet_addr(const char* cp);                                  // 10
int __stdcall ioctlsocket(SOCKET s, long cmd, unsigned long* argp);                 // 12
int __stdcall recv(SOCKET s, char* buf, int len, int flags);                        // 16
int __stdcall select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                     const timeval* timeout);                                       // 18
int __stdcall send(SOCKET s, const char* buf, int len, int flags);                  // 19
SOCKET __stdcall socket(int af, int type, int protocol);                            // 23
hostent* __stdcall gethostbyname(const char* name);                                 // 52
int __stdcall WSAGetLastError();                                                    // 111
int __stdcall WSAStartup(uint16_t versionRequested, WSADATA* data);                 // 115
}

}  // namespace wsock
}  // namespace platform

#endif
