#include "tests/canned_pop3_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// Only a bound against a hang: a conversation takes milliseconds.
constexpr int kHangGuardMs = 15000;

bool WaitReadable(int socket) {
  pollfd entry{};
  entry.fd = socket;
  entry.events = POLLIN;
  for (;;) {
    const int ready = poll(&entry, 1, kHangGuardMs);
    if (ready > 0) return (entry.revents & (POLLIN | POLLHUP)) != 0;
    if (ready == 0 || errno != EINTR) return false;
  }
}

void SendAll(int socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t now = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (now <= 0) return;
    sent += static_cast<size_t>(now);
  }
}

}  // namespace

CannedPop3Server::CannedPop3Server(std::vector<std::string> replies, std::string greeting)
    : m_replies(std::move(replies)), m_greeting(std::move(greeting)) {
  m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listener < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  const int on = 1;
  setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(110);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listener, 1) != 0) {
    const std::string reason = std::strerror(errno);
    close(m_listener);
    throw std::runtime_error("cannot listen on 127.0.0.1:110 (run inside scripts/in-netns): " +
                             reason);
  }
  m_thread = std::thread(&CannedPop3Server::Serve, this);
}

CannedPop3Server::~CannedPop3Server() {
  Lines();
  close(m_listener);
}

std::vector<std::string> CannedPop3Server::Lines() {
  if (m_thread.joinable()) {
    // The call has ended by now: a client that never came is not waited for.
    shutdown(m_listener, SHUT_RDWR);
    m_thread.join();
  }
  return m_lines;
}

void CannedPop3Server::Serve() {
  if (!WaitReadable(m_listener)) return;
  const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  SendAll(client, m_greeting);
  std::string pending;
  char buffer[4096];
  bool open = true;
  while (open && WaitReadable(client)) {
    const ssize_t got = recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    size_t end;
    while (open && (end = pending.find('\n')) != std::string::npos) {
      m_lines.push_back(pending.substr(0, end + 1));
      pending.erase(0, end + 1);
      const size_t index = m_lines.size() - 1;
      // A line beyond the script is answered by closing the connection.
      if (index < m_replies.size()) {
        SendAll(client, m_replies[index]);
      } else {
        open = false;
      }
    }
  }
  if (open && !pending.empty()) m_lines.push_back(pending);
  close(client);
}
