// One TCP connection to the mail server: connected when constructed, closed
// when destroyed. It moves bytes and knows nothing of POP3.
#ifndef MAILQUARRY_POP3_TCP_SOCKET_H
#define MAILQUARRY_POP3_TCP_SOCKET_H

#include <cstdint>

#include "platform/socket.h"

// Thrown when the connection cannot be made; carries a fixed text.
class CSocketException {
 public:
  explicit CSocketException(const char* text);
  const char* Text() const { return m_text; }

 private:
  char m_text[128];
};

class CTcpSocket {
 public:
  // Connects to `host` (dotted IPv4 address or name) on `port`. Every wait,
  // connecting included, lasts at most `waitLimitMs`. Throws
  // CSocketException on failure; no socket stays open then.
  CTcpSocket(const char* host, int port, uint32_t waitLimitMs);
  ~CTcpSocket();
  CTcpSocket(const CTcpSocket&) = delete;
  CTcpSocket& operator=(const CTcpSocket&) = delete;

  // The count the system accepted, or -1; null data or length 0 give -1.
  int Send(const char* data, int length);
  // The count received, 0 when the server has closed, -1 on an error or
  // when no data came within the wait limit; null buffer or size 0 give -1.
  int Receive(char* buffer, int size);
  void Close();

 private:
  void Create(int port);

  platform::SocketHandle m_socket = platform::kInvalidSocket;
  uint32_t m_address = 0;  // network byte order
  uint16_t m_port = 0;     // network byte order
  uint32_t m_waitLimitMs;
};

#endif
