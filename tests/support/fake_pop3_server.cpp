#include "tests/support/fake_pop3_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>
#include <utility>

namespace {

// How long one poll waits before the loops look at the stop flag again; the
// wake pipe normally ends a wait much sooner.
constexpr int kPollSliceMs = 200;
// A client line longer than this without LF ends the connection.
constexpr size_t kMaxLine = 1024 * 1024;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A decimal number of 1 or more with nothing else around it; 0 otherwise.
long ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
  }
  return std::stol(text);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    const size_t start = line.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    const size_t end = line.find(' ', start);
    words.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    at = end == std::string::npos ? line.size() : end;
  }
  return words;
}

bool FaultMatches(const FakePop3Fault& fault, bool greeting, const std::string& key,
                  int connection) {
  if (fault.connection != 0 && fault.connection != connection) return false;
  if (greeting || fault.at.empty()) return greeting && fault.at.empty();
  if (key == fault.at) return true;
  return key.size() > fault.at.size() && key.compare(0, fault.at.size(), fault.at) == 0 &&
         key[fault.at.size()] == ' ';
}

// The part of a message that TOP n lines sends: the headers, the blank line
// after them, and the first `lines` lines of the body.
std::string TopOf(const std::string& text, long lines) {
  size_t end;
  if (text.compare(0, 2, "\r\n") == 0) {
    end = 2;
  } else {
    const size_t blank = text.find("\r\n\r\n");
    if (blank == std::string::npos) return text;
    end = blank + 4;
  }
  for (long i = 0; i < lines && end < text.size(); ++i) {
    const size_t next = text.find("\r\n", end);
    end = next == std::string::npos ? text.size() : next + 2;
  }
  return text.substr(0, end);
}

}  // namespace

FakePop3Fault FakePop3Fault::CloseAt(std::string at, size_t afterBytes) {
  FakePop3Fault fault;
  fault.at = std::move(at);
  fault.cutAfter = afterBytes;
  fault.then = Then::kClose;
  return fault;
}

FakePop3Fault FakePop3Fault::SilentAt(std::string at, size_t afterBytes) {
  FakePop3Fault fault;
  fault.at = std::move(at);
  fault.cutAfter = afterBytes;
  fault.then = Then::kStaySilent;
  return fault;
}

FakePop3Fault FakePop3Fault::Canned(std::string at, std::string bytes) {
  FakePop3Fault fault;
  fault.at = std::move(at);
  fault.replace = true;
  fault.bytes = std::move(bytes);
  return fault;
}

FakePop3Fault FakePop3Fault::Endless(std::string at, std::string head, std::string filler,
                                     unsigned forMs) {
  FakePop3Fault fault = Canned(std::move(at), std::move(head));
  fault.filler = std::move(filler);
  fault.fillForMs = forMs;
  fault.then = Then::kClose;
  return fault;
}

std::string FakePop3Server::Stuffed(const std::string& body) {
  std::string wire;
  wire.reserve(body.size() + body.size() / 64 + 8);
  bool lineStart = true;
  for (const char c : body) {
    if (lineStart && c == '.') wire += '.';
    wire += c;
    lineStart = c == '\n';
  }
  if (!body.empty() && !lineStart) wire += "\r\n";
  return wire + ".\r\n";
}

FakePop3Server::FakePop3Server(FakePop3Options options) : m_options(std::move(options)) {
  for (size_t i = 0; i < m_options.messages.size(); ++i) {
    m_mailbox.push_back(Stored{static_cast<int>(i + 1), m_options.messages[i]});
  }
  if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_listener < 0) {
    close(m_wake[0]);
    close(m_wake[1]);
    throw std::runtime_error("socket failed");
  }
  const int on = 1;
  setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(m_options.port);
  socklen_t length = sizeof address;
  if (inet_pton(AF_INET, m_options.address.c_str(), &address.sin_addr) != 1 ||
      bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listener, 16) != 0 ||
      getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string reason = std::strerror(errno);
    close(m_listener);
    close(m_wake[0]);
    close(m_wake[1]);
    throw std::runtime_error("cannot listen on " + m_options.address + ":" +
                             std::to_string(m_options.port) +
                             ": " + reason);
  }
  m_port = ntohs(address.sin_port);
  m_thread = std::thread(&FakePop3Server::Run, this);
}

FakePop3Server::~FakePop3Server() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  const char byte = 0;
  if (write(m_wake[1], &byte, 1) < 0) {
    // The pipe is only full when a wake-up is already pending.
  }
  m_thread.join();
  close(m_listener);
  close(m_wake[0]);
  close(m_wake[1]);
}

std::vector<FakePop3Server::LoggedLine> FakePop3Server::Log() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_log;
}

std::vector<std::string> FakePop3Server::Commands(int connection) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> commands;
  for (const LoggedLine& line : m_log) {
    if (connection != 0 && line.connection != connection) continue;
    std::string text = line.bytes;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    commands.push_back(text);
  }
  return commands;
}

int FakePop3Server::Connections() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_connections;
}

int FakePop3Server::EndedConnections() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_ended;
}

std::vector<std::string> FakePop3Server::Mailbox() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> texts;
  for (const Stored& stored : m_mailbox) texts.push_back(stored.text);
  return texts;
}

std::vector<int> FakePop3Server::Deleted() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_deleted;
}

bool FakePop3Server::WaitForEnded(int connections, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, limit, [&] { return m_ended >= connections; });
}

bool FakePop3Server::Stopping() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopping;
}

void FakePop3Server::Run() {
  while (!Stopping()) {
    pollfd entries[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    if (poll(entries, 2, kPollSliceMs) <= 0) continue;
    if (entries[1].revents != 0) return;
    const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) continue;
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int connection;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      connection = ++m_connections;
    }
    m_changed.notify_all();
    Serve(client, connection);
    close(client);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_ended;
    }
    m_changed.notify_all();
  }
}

void FakePop3Server::Serve(int client, int connection) {
  std::string pending;
  Outcome outcome = Deliver(client, true, std::string(), connection, m_options.greeting);
  if (outcome == Outcome::kSilent) DrainSilently(client, connection, pending);
  if (outcome != Outcome::kGoOn) return;

  std::vector<bool> marked(m_mailbox.size(), false);
  bool authorized = false;
  bool userGiven = false;
  while (!Stopping()) {
    const Received received = ReceiveInto(client, pending);
    if (received == Received::kEnd) return;
    if (received == Received::kNothing) continue;
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end + 1);
      pending.erase(0, end + 1);
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(LoggedLine{connection, line});
      }
      std::string key = line.substr(0, line.size() - 1);
      if (!key.empty() && key.back() == '\r') key.pop_back();
      bool quit = false;
      const std::string answer = Answer(key, marked, authorized, userGiven, quit);
      outcome = Deliver(client, false, key, connection, answer);
      if (outcome == Outcome::kSilent) DrainSilently(client, connection, pending);
      if (outcome != Outcome::kGoOn || quit) return;
    }
    if (pending.size() > kMaxLine) return;
  }
}

std::string FakePop3Server::Answer(const std::string& line, std::vector<bool>& marked,
                                   bool& authorized, bool& userGiven, bool& quit) {
  const std::vector<std::string> words = Words(line);
  const std::string command = words.empty() ? std::string() : Upper(words[0]);
  const std::string argument = line.size() > command.size() + 1 ? line.substr(command.size() + 1)
                                                                  : std::string();

  if (command == "QUIT") {
    quit = true;
    if (!authorized) return "+OK bye\r\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Stored> kept;
    for (size_t i = 0; i < m_mailbox.size(); ++i) {
      if (marked[i]) {
        m_deleted.push_back(m_mailbox[i].number);
      } else {
        kept.push_back(m_mailbox[i]);
      }
    }
    m_mailbox.swap(kept);
    return "+OK bye\r\n";
  }
  if (command == "USER") {
    if (authorized) return "-ERR already logged in\r\n";
    if (!m_options.user.empty() && argument != m_options.user) return "-ERR unknown user\r\n";
    userGiven = true;
    return "+OK send PASS\r\n";
  }
  if (command == "PASS") {
    if (authorized) return "-ERR already logged in\r\n";
    if (!userGiven) return "-ERR USER first\r\n";
    if (m_options.refusePassword ||
        (!m_options.password.empty() && argument != m_options.password)) {
      userGiven = false;
      return "-ERR invalid password\r\n";
    }
    authorized = true;
    return "+OK logged in\r\n";
  }
  if (!authorized) return "-ERR not logged in\r\n";

  // The message a request names, when it may be served: its index, or -1.
  auto lookup = [&](size_t word) -> long {
    if (words.size() <= word) return -1;
    const long number = ParseNumber(words[word]);
    if (number < 1 || static_cast<size_t>(number) > m_mailbox.size()) return -1;
    if (m_options.refusedMessages.count(static_cast<int>(number)) != 0) return -1;
    if (marked[static_cast<size_t>(number - 1)]) return -1;
    return number - 1;
  };
  const std::string noSuchMessage = "-ERR no such message\r\n";

  if (command == "NOOP") return "+OK\r\n";
  if (command == "RSET") {
    std::fill(marked.begin(), marked.end(), false);
    return "+OK\r\n";
  }
  if (command == "STAT") {
    size_t count = 0;
    size_t octets = 0;
    for (size_t i = 0; i < m_mailbox.size(); ++i) {
      if (marked[i]) continue;
      ++count;
      octets += m_mailbox[i].text.size();
    }
    return "+OK " + std::to_string(count) + " " + std::to_string(octets) + "\r\n";
  }
  if (command == "LIST") {
    if (words.size() == 1) {
      std::string listing;
      size_t count = 0;
      for (size_t i = 0; i < m_mailbox.size(); ++i) {
        if (marked[i]) continue;
        ++count;
        listing += std::to_string(i + 1) + " " + std::to_string(m_mailbox[i].text.size()) + "\r\n";
      }
      return "+OK " + std::to_string(count) + " messages\r\n" + listing + ".\r\n";
    }
    const long index = lookup(1);
    if (index < 0) return noSuchMessage;
    return "+OK " + std::to_string(index + 1) + " " +
           std::to_string(m_mailbox[static_cast<size_t>(index)].text.size()) + "\r\n";
  }
  if (command == "RETR") {
    const long index = lookup(1);
    if (index < 0) return noSuchMessage;
    const std::string& text = m_mailbox[static_cast<size_t>(index)].text;
    return "+OK " + std::to_string(text.size()) + " octets\r\n" + Stuffed(text);
  }
  if (command == "TOP") {
    const long index = lookup(1);
    if (index < 0) return noSuchMessage;
    if (words.size() < 3 || (words[2] != "0" && ParseNumber(words[2]) == 0)) {
      return "-ERR bad line count\r\n";
    }
    const long lines = words[2] == "0" ? 0 : ParseNumber(words[2]);
    return "+OK\r\n" + Stuffed(TopOf(m_mailbox[static_cast<size_t>(index)].text, lines));
  }
  if (command == "DELE") {
    const long index = lookup(1);
    if (index < 0) return noSuchMessage;
    marked[static_cast<size_t>(index)] = true;
    return "+OK message " + std::to_string(index + 1) + " deleted\r\n";
  }
  return "-ERR unknown command\r\n";
}

FakePop3Server::Outcome FakePop3Server::Deliver(int client, bool greeting,
                                                const std::string& key, int connection,
                                                const std::string& answer) {
  const FakePop3Fault* fault = nullptr;
  for (const FakePop3Fault& candidate : m_options.faults) {
    if (FaultMatches(candidate, greeting, key, connection)) {
      fault = &candidate;
      break;
    }
  }
  std::string bytes = fault != nullptr && fault->replace ? fault->bytes : answer;
  if (fault != nullptr && fault->cutAfter < bytes.size()) bytes.resize(fault->cutAfter);

  // A multi-line answer may go out as its status line, a pause, and the rest.
  const size_t statusEnd = bytes.find("\r\n");
  const bool apart = m_options.statusApart && (fault == nullptr || !fault->replace) &&
                     statusEnd != std::string::npos && statusEnd + 2 < bytes.size();
  if (apart) {
    if (!SendChunked(client, bytes.substr(0, statusEnd + 2))) return Outcome::kClose;
    if (!Pause(std::max(m_options.chunkPauseMs, 10u))) return Outcome::kClose;
    if (!SendChunked(client, bytes.substr(statusEnd + 2))) return Outcome::kClose;
  } else if (!SendChunked(client, bytes)) {
    return Outcome::kClose;
  }
  if (fault == nullptr) return Outcome::kGoOn;

  if (!fault->filler.empty() && fault->fillForMs > 0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault->fillForMs);
    while (std::chrono::steady_clock::now() < until) {
      if (!SendAll(client, fault->filler.data(), fault->filler.size())) return Outcome::kClose;
    }
  }
  if (!fault->tail.empty() && !SendAll(client, fault->tail.data(), fault->tail.size())) {
    return Outcome::kClose;
  }
  switch (fault->then) {
    case FakePop3Fault::Then::kClose: return Outcome::kClose;
    case FakePop3Fault::Then::kStaySilent: return Outcome::kSilent;
    case FakePop3Fault::Then::kGoOn: break;
  }
  return Outcome::kGoOn;
}

bool FakePop3Server::SendChunked(int client, const std::string& bytes) {
  const size_t chunk = m_options.chunkSize == 0 ? bytes.size() : m_options.chunkSize;
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    if (at > 0 && !Pause(m_options.chunkPauseMs)) return false;
    if (!SendAll(client, bytes.data() + at, std::min(chunk, bytes.size() - at))) return false;
  }
  return true;
}

bool FakePop3Server::SendAll(int client, const char* data, size_t length) {
  while (length > 0) {
    if (Stopping()) return false;
    const ssize_t sent = send(client, data, length, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      length -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    pollfd entries[2] = {{client, POLLOUT, 0}, {m_wake[0], POLLIN, 0}};
    if (poll(entries, 2, kPollSliceMs) > 0 && entries[1].revents != 0) return false;
  }
  return true;
}

bool FakePop3Server::Pause(unsigned ms) {
  if (ms == 0) return !Stopping();
  pollfd entry = {m_wake[0], POLLIN, 0};
  return poll(&entry, 1, static_cast<int>(ms)) == 0 && !Stopping();
}

FakePop3Server::Received FakePop3Server::ReceiveInto(int client, std::string& pending) {
  pollfd entries[2] = {{client, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
  if (poll(entries, 2, kPollSliceMs) <= 0) return Received::kNothing;
  if (entries[1].revents != 0) return Received::kEnd;
  char buffer[4096];
  const ssize_t got = recv(client, buffer, sizeof buffer, 0);
  if (got == 0) return Received::kEnd;
  if (got < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Received::kNothing
                                                                      : Received::kEnd;
  }
  pending.append(buffer, static_cast<size_t>(got));
  return Received::kData;
}

void FakePop3Server::DrainSilently(int client, int connection, std::string& pending) {
  for (;;) {
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_log.push_back(LoggedLine{connection, pending.substr(0, end + 1)});
      pending.erase(0, end + 1);
    }
    if (Stopping() || pending.size() > kMaxLine) return;
    if (ReceiveInto(client, pending) == Received::kEnd) return;
  }
}

void FinishWithin(std::chrono::milliseconds bound, const char* what,
                  const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(bound) != std::future_status::ready) {
    std::fprintf(stderr, "HUNG: %s did not end within %lld ms\n", what,
                 static_cast<long long>(bound.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
  runner.join();
  done.get();
}
