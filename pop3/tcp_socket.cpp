#include "pop3/tcp_socket.h"

#include <cstring>

CSocketException::CSocketException(const char* text) {
  std::strncpy(m_text, text, sizeof m_text - 1);
  m_text[sizeof m_text - 1] = '\0';
}

namespace {

constexpr uint32_t kNotAnAddress = 0xFFFFFFFFu;

}  // namespace

CTcpSocket::CTcpSocket(const char* host, int port, uint32_t waitLimitMs)
    : m_waitLimitMs(waitLimitMs) {
  if (host == nullptr) throw CSocketException("Invalid parameters");
  Create(port);
  m_address = platform::DottedToAddress(host);
  if (m_address == kNotAnAddress && !platform::ResolveFirstAddress(host, &m_address)) {
    Close();
    throw CSocketException("Unable to solve this address");
  }
  if (!platform::ConnectWithin(m_socket, m_address, m_port, m_waitLimitMs)) {
    Close();
    throw CSocketException("connect() failed");
  }
}

CTcpSocket::~CTcpSocket() { Close(); }

void CTcpSocket::Create(int port) {
  if (!platform::StartSockets()) throw CSocketException("WSAStartup() failed");
  m_socket = platform::OpenStreamSocket();
  if (m_socket == platform::kInvalidSocket) throw CSocketException("socket() failed");
  m_port = platform::PortToNetworkOrder(static_cast<uint16_t>(port & 0xFFFF));
}

int CTcpSocket::Send(const char* data, int length) {
  if (data == nullptr || length <= 0) return -1;
  return platform::SendWithin(m_socket, data, length, m_waitLimitMs);
}

int CTcpSocket::Receive(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return -1;
  return platform::ReceiveWithin(m_socket, buffer, size, m_waitLimitMs);
}

void CTcpSocket::Close() {
  if (m_socket == platform::kInvalidSocket) return;
  platform::CloseSocket(m_socket);
  m_socket = platform::kInvalidSocket;
}
