#include "pop3/pop3_session.h"

#include <cstdio>
#include <new>

#include "pop3/tcp_socket.h"

namespace {

// "WORD argument\r\n", built to the argument's length: a user name or
// password of any length goes out whole.
CText CommandLine(const char* word, const CText& argument) {
  CText line(word);
  line.Append(" ", 1);
  line.Append(argument.Data(), argument.Length());
  line.Append("\r\n", 2);
  return line;
}

}  // namespace

CPop3Session::CPop3Session(size_t bodyLimit, uint32_t idleLimitMs)
    : m_bodyLimit(bodyLimit), m_idleLimitMs(idleLimitMs) {}

CPop3Session::~CPop3Session() { Close(); }

bool CPop3Session::Open(const CText& server) {
  Close();
  try {
    m_transport = new CTcpSocket(server.Data(), kPort, m_idleLimitMs);
  } catch (...) {
    m_transport = nullptr;
    return false;
  }
  return true;
}

void CPop3Session::Close() {
  delete m_transport;
  m_transport = nullptr;
}

bool CPop3Session::Login(const CText& server, const CText& user, const CText& password) {
  if (!Open(server)) return false;
  CText greeting;
  if (!ReadResponse(greeting)) return false;
  if (!SendUser(user)) return false;
  return SendPass(password);
}

bool CPop3Session::SendUser(const CText& user) {
  const CText line = CommandLine("USER", user);
  CText answer;
  return Exchange(line.Data(), static_cast<int>(line.Length()), answer);
}

bool CPop3Session::SendPass(const CText& password) {
  const CText line = CommandLine("PASS", password);
  CText answer;
  return Exchange(line.Data(), static_cast<int>(line.Length()), answer);
}

bool CPop3Session::List(CText& text, int32_t message) {
  char line[32];
  const int length = std::snprintf(line, sizeof line, "LIST %d\r\n", static_cast<int>(message));
  return Exchange(line, length, text);
}

bool CPop3Session::Dele(int32_t message) {
  char line[32];
  const int length = std::snprintf(line, sizeof line, "DELE %d\r\n", static_cast<int>(message));
  CText answer;
  return Exchange(line, length, answer);
}

bool CPop3Session::Quit() {
  static const char kQuit[] = "QUIT \r\n";
  CText answer;
  return Exchange(kQuit, sizeof kQuit - 1, answer);
}

bool CPop3Session::Top(CText& text, int32_t message) {
  char line[32];
  const int length = std::snprintf(line, sizeof line, "TOP %d 0\r\n", static_cast<int>(message));
  return ExchangeMultiline(line, length, text);
}

bool CPop3Session::Retr(CText& text, int32_t message) {
  char line[32];
  const int length = std::snprintf(line, sizeof line, "RETR %d\r\n", static_cast<int>(message));
  return ExchangeMultiline(line, length, text);
}

bool CPop3Session::SendCommand(const char* line, int length) {
  if (m_transport == nullptr || length <= 0) return false;
  // A command goes out whole: what one send leaves over is sent after it.
  int sent = 0;
  while (sent < length) {
    const int now = m_transport->Send(line + sent, length - sent);
    if (now < 1) return false;
    sent += now;
  }
  return true;
}

bool CPop3Session::Exchange(const char* line, int length, CText& answer) {
  if (!SendCommand(line, length)) return false;
  return ReadResponse(answer);
}

bool CPop3Session::ReadResponse(CText& text) {
  CReplyReader reader(CReplyReader::Kind::kSingleLine, 0);
  const bool complete = ReadReply(reader);
  text = reader.StatusLine();
  return complete && reader.Positive();
}

bool CPop3Session::ExchangeMultiline(const char* line, int length, CText& text) {
  if (!SendCommand(line, length)) return false;
  CReplyReader reader(CReplyReader::Kind::kMultiLine, m_bodyLimit);
  if (!ReadReply(reader) || !reader.Positive()) return false;
  text = reader.Body();
  return true;
}

bool CPop3Session::ReadReply(CReplyReader& reader) {
  if (m_transport == nullptr) return false;
  char buffer[kReceiveSize];
  while (reader.GetState() == CReplyReader::State::kNeedMore) {
    // The transport waits at most the idle limit for each receive, so a
    // silent server ends the read; a closed or failed connection ends it at
    // once, since nothing more can come.
    const int received = m_transport->Receive(buffer, kReceiveSize);
    if (received < 1) return false;
    reader.Feed(buffer, static_cast<size_t>(received));
  }
  return reader.GetState() == CReplyReader::State::kDone;
}
