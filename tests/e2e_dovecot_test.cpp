// End to end: the procedure against a real POP3 server, Debian's Dovecot,
// started privately on 127.0.0.1:110. Every case runs twice: through the
// loaded library as the database server calls it, and through
// mailquarry-exec --json. Each case gets a fresh mailbox.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/call.h"
#include "tests/support/dovecot.h"
#include "tests/support/procedure.h"

namespace {

using testing_support::Crlf;
using testing_support::Dovecot;

const char kPassword[] = "secret";
const char kLoginFailed[] = "Can not establish connection to POP3 server.";

// One server for the whole binary; it is stopped when the binary exits.
Dovecot& Server() {
  static Dovecot server;
  return server;
}

// --- The mailbox the cases run on, stored with LF line ends -------------

std::string LongMessage() {
  std::string message =
      "From: Reports <reports@example.com>\nTo: bob@example.com\n"
      "Subject: Monthly figures\n\n";
  for (int line = 1; message.size() < 20000; ++line) {
    message += "Line " + std::to_string(line) + " of the report, long enough to fill a row.\n";
  }
  return message;
}

std::string EightBitMessage() {
  std::string message =
      "From: J\xC3\xBCrgen <juergen@example.com>\nTo: bob@example.com\n"
      "Subject: Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\n"
      "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
      "Sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e, \xE2\x82\xAC 5 f\xC3\xBCr dich.\n";
  for (int byte = 0x80; byte <= 0xFF; ++byte) message += static_cast<char>(byte);
  return message + "\n";
}

const std::vector<std::string>& Mailbox() {
  static const std::vector<std::string> messages = {
      "From: Alice <alice@example.com>\nTo: bob@example.com\nSubject: Lunch on Friday\n"
      "Date: Tue, 10 Dec 2024 09:15:00 +0000\nMessage-ID: <lunch@example.com>\n\n"
      "Hi Bob,\n\nshall we meet at noon?\n\nAlice\n",
      LongMessage(),
      // Dovecot sends each of these lines with one more dot in front.
      "From: Carol <carol@example.com>\nSubject: Dots\n\n"
      ".leading dot\n..two leading dots\n.\nin the . middle\n.\n",
      EightBitMessage(),
      // Dovecot ends the answer with a CR LF of its own here.
      "From: Dave <dave@example.com>\nSubject: No line end\n\nThe last line has no line end",
  };
  return messages;
}

// --- What the rows must hold --------------------------------------------

// RETR: the message as sent, less the CR LF that belongs to the end marker,
// cut after 8000 bytes.
std::string RetrRow(const std::string& stored) {
  std::string text = Crlf(stored);
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
  return text.substr(0, 8000);
}

// TOP n 0: the header lines, each with its CR LF; the blank line after them
// ends the answer.
std::string TopRow(const std::string& stored) {
  const std::string text = Crlf(stored);
  return text.substr(0, text.find("\r\n\r\n") + 2);
}

// LIST n: the size that Dovecot reports, the message's size with CR LF.
std::string ListRow(const std::string& stored) { return std::to_string(Crlf(stored).size()); }

// --- One call, through either path ------------------------------------------

enum class Path { kLibrary, kExec };

struct Outcome {
  int value = -1;
  int described = 0;
  std::vector<int32_t> ids;
  std::vector<std::string> texts;
  std::vector<std::string> messages;
  std::vector<host::Done> dones;
};

struct Request {
  std::string server = "127.0.0.1";
  std::string user;
  std::string password = kPassword;
  std::string command;
  int32_t message = 0;
};

Outcome ViaLibrary(const Request& request, int failRowsFrom = 0) {
  host::Call call({host::Param::Text(request.server), host::Param::Text(request.user),
                   host::Param::Text(request.password), host::Param::Text(request.command),
                   host::Param::Int(request.message)});
  if (failRowsFrom > 0) call.FailRowsFrom(failRowsFrom);
  Outcome outcome;
  outcome.value = testing_support::Procedure().Execute(call);
  for (const host::Event& event : call.Transcript()) {
    if (event.op == "srv_describe") ++outcome.described;
  }
  for (const host::Row& row : call.Rows()) {
    outcome.ids.push_back(row.id);
    outcome.texts.push_back(row.message);
  }
  for (const host::Message& message : call.Messages()) outcome.messages.push_back(message.text);
  outcome.dones = call.Dones();
  return outcome;
}

// One line of mailquarry-exec --json: a flat object of texts and integers.
// \u00XX stands for the byte XX.
std::map<std::string, std::string> ParseJsonLine(const std::string& line) {
  size_t i = 0;
  auto fail = [&line]() -> char { throw std::runtime_error("not a JSON line: " + line); };
  auto next = [&]() { return i < line.size() ? line[i++] : fail(); };
  auto expect = [&](char c) {
    if (next() != c) fail();
  };
  auto text = [&]() {
    expect('"');
    std::string out;
    for (char c = next(); c != '"'; c = next()) {
      if (c != '\\') {
        out += c;
        continue;
      }
      switch (const char escaped = next()) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (i + 4 > line.size()) fail();
          const unsigned long code = std::stoul(line.substr(i, 4), nullptr, 16);
          if (code > 0xFF) fail();
          out += static_cast<char>(code);
          i += 4;
          break;
        }
        default: out += escaped;
      }
    }
    return out;
  };
  std::map<std::string, std::string> fields;
  expect('{');
  while (i < line.size() && line[i] != '}') {
    if (!fields.empty()) expect(',');
    const std::string key = text();
    expect(':');
    if (i < line.size() && line[i] == '"') {
      fields[key] = text();
    } else {
      const size_t end = line.find_first_of(",}", i);
      if (end == std::string::npos) fail();
      fields[key] = line.substr(i, end - i);
      i = end;
    }
  }
  expect('}');
  return fields;
}

std::string SqlText(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

Outcome ViaExec(const Request& request) {
  const std::string params = SqlText(request.server) + ", " + SqlText(request.user) + ", " +
                             SqlText(request.password) + ", " + SqlText(request.command) + ", " +
                             std::to_string(request.message);
  int status = -1;
  const std::string output = testing_support::RunExec({"--json", params}, &status);
  Outcome outcome;
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find('\n', start);
    const std::string line = output.substr(start, end - start);
    start = end == std::string::npos ? output.size() : end + 1;
    std::map<std::string, std::string> event = ParseJsonLine(line);
    const std::string& op = event["op"];
    if (op == "srv_describe") {
      ++outcome.described;
    } else if (op == "srv_sendrow") {
      outcome.ids.push_back(std::stoi(event.at("id")));
      outcome.texts.push_back(event.at("message"));
    } else if (op == "srv_sendmsg") {
      outcome.messages.push_back(event.at("text"));
    } else if (op == "srv_senddone") {
      outcome.dones.push_back(host::Done{std::stoi(event.at("status")), std::stoi(event.at("info")),
                                         std::stoi(event.at("count"))});
    } else if (op == "return") {
      outcome.value = std::stoi(event.at("value"));
    }
  }
  // The exit status tells the same as the procedure's return value.
  EXPECT_EQ(status, outcome.value) << output;
  return outcome;
}

Outcome CallProcedure(Path path, const Request& request) {
  return path == Path::kLibrary ? ViaLibrary(request) : ViaExec(request);
}

// A call that succeeded: both columns described, the rows, one done status
// with the count, no message.
void ExpectSuccess(const Outcome& outcome, const std::vector<int32_t>& ids,
                   const std::vector<std::string>& texts, int32_t count) {
  EXPECT_EQ(outcome.value, XP_NOERROR);
  EXPECT_EQ(outcome.described, 2);
  EXPECT_TRUE(outcome.messages.empty()) << outcome.messages.front();
  ASSERT_EQ(outcome.ids, ids);
  ASSERT_EQ(outcome.texts.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(outcome.texts[i], texts[i]) << "row " << i + 1;
  ASSERT_EQ(outcome.dones.size(), 1u);
  EXPECT_EQ(outcome.dones[0].status, SRV_DONE_COUNT);
  EXPECT_EQ(outcome.dones[0].info, 0);
  EXPECT_EQ(outcome.dones[0].count, count);
}

// A failed login: only the error message and the error done status.
void ExpectLoginFailed(const Outcome& outcome) {
  EXPECT_EQ(outcome.value, XP_ERROR);
  EXPECT_EQ(outcome.described, 0);
  EXPECT_TRUE(outcome.ids.empty());
  EXPECT_EQ(outcome.messages, std::vector<std::string>{kLoginFailed});
  ASSERT_EQ(outcome.dones.size(), 1u);
  EXPECT_EQ(outcome.dones[0].status, SRV_DONE_MORE | SRV_DONE_ERROR);
  EXPECT_EQ(outcome.dones[0].count, 0);
}

enum class RowKind { kNone, kRetr, kTop, kList };

std::string ExpectedRow(RowKind kind, const std::string& stored) {
  switch (kind) {
    case RowKind::kRetr: return RetrRow(stored);
    case RowKind::kTop: return TopRow(stored);
    case RowKind::kList: return ListRow(stored);
    case RowKind::kNone: break;
  }
  return std::string();
}

class EndToEnd : public testing::TestWithParam<Path> {};

TEST_P(EndToEnd, CommandsOnGeneratedMailbox) {
  struct Case {
    const char* command;
    int32_t message;
    RowKind kind;
    std::vector<int32_t> rows;  // messages that give a row, in order
    int32_t count;
    std::vector<int> remaining;
  };
  const std::vector<int> all = {1, 2, 3, 4, 5};
  const Case cases[] = {
      {"READ", 0, RowKind::kRetr, {1, 2, 3, 4, 5}, 5, all},
      {"READ", 3, RowKind::kRetr, {3}, 1, all},
      {"READ", 6, RowKind::kRetr, {}, 0, all},
      {"READ_TOP", 0, RowKind::kTop, {1, 2, 3, 4, 5}, 5, all},
      {"READ_TOP", 4, RowKind::kTop, {4}, 1, all},
      {"READ_DEL", 0, RowKind::kRetr, {1, 2, 3, 4, 5}, 5, {}},
      {"READ_DEL", 2, RowKind::kRetr, {2}, 1, {1, 3, 4, 5}},
      {"READ_DEL", 6, RowKind::kRetr, {}, 0, all},
      {"READ_TOP_DEL", 0, RowKind::kTop, {1, 2, 3, 4, 5}, 5, {}},
      {"READ_TOP_DEL", 5, RowKind::kTop, {5}, 1, {1, 2, 3, 4}},
      {"LIST", 0, RowKind::kList, {1, 2, 3, 4, 5}, 5, all},
      {"LIST", 2, RowKind::kList, {2}, 1, all},
      {"LIST", 6, RowKind::kList, {}, 0, all},
      {"DEL", 0, RowKind::kNone, {}, 5, {}},
      {"DEL", 4, RowKind::kNone, {}, 1, {1, 2, 3, 5}},
      // A refused DELE n counts nothing.
      {"DEL", 6, RowKind::kNone, {}, 0, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + std::to_string(c.message));
    const std::string user = Server().NewMailbox(Mailbox(), kPassword);
    std::vector<std::string> texts;
    for (const int32_t id : c.rows) texts.push_back(ExpectedRow(c.kind, Mailbox()[id - 1]));
    ExpectSuccess(CallProcedure(GetParam(), {"127.0.0.1", user, kPassword, c.command, c.message}), c.rows,
                  texts, c.count);
    EXPECT_EQ(Server().Remaining(user), c.remaining);
  }
}

TEST_P(EndToEnd, CommandsOnEmptyMailbox) {
  for (const char* command : {"READ", "READ_TOP", "READ_DEL", "READ_TOP_DEL", "LIST", "DEL"}) {
    for (const int32_t message : {0, 1}) {
      SCOPED_TRACE(std::string(command) + " " + std::to_string(message));
      const std::string user = Server().NewMailbox({}, kPassword);
      ExpectSuccess(CallProcedure(GetParam(), {"127.0.0.1", user, kPassword, command, message}), {}, {}, 0);
    }
  }
}

TEST_P(EndToEnd, RefusedLoginGivesTheLoginMessage) {
  const std::string user = Server().NewMailbox(Mailbox(), kPassword);
  const Request refused[] = {
      {"127.0.0.1", user, "not-the-password", "READ_DEL", 0},
      {"127.0.0.1", "nobody-here", kPassword, "DEL", 0},
  };
  for (const Request& request : refused) {
    SCOPED_TRACE(request.user + " / " + request.password);
    ExpectLoginFailed(CallProcedure(GetParam(), request));
  }
  EXPECT_EQ(Server().Remaining(user), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_P(EndToEnd, NoServerListeningGivesTheLoginMessage) {
  const std::string user = Server().NewMailbox(Mailbox(), kPassword);
  Server().Stop();
  const Outcome outcome = CallProcedure(GetParam(), {"127.0.0.1", user, kPassword, "READ", 0});
  Server().Start();
  ExpectLoginFailed(outcome);
  // The server is back for the cases that follow.
  ExpectSuccess(CallProcedure(GetParam(), {"127.0.0.1", user, kPassword, "LIST", 1}), {1},
                {ListRow(Mailbox()[0])}, 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, EndToEnd, testing::Values(Path::kLibrary, Path::kExec),
                         [](const testing::TestParamInfo<Path>& info) {
                           return info.param == Path::kLibrary ? "Library" : "Exec";
                         });

// When the client is gone, srv_sendrow fails: the message whose row was not
// delivered and every later one stay in the mailbox.
TEST(EndToEndLibrary, UndeliveredRowsAreNotDeleted) {
  for (const char* command : {"READ_DEL", "READ_TOP_DEL"}) {
    SCOPED_TRACE(command);
    const std::string user = Server().NewMailbox(Mailbox(), kPassword);
    const Outcome outcome = ViaLibrary({"127.0.0.1", user, kPassword, command, 0}, 3);
    EXPECT_EQ(outcome.value, XP_NOERROR);
    EXPECT_EQ(outcome.ids, (std::vector<int32_t>{1, 2, 3}));
    ASSERT_EQ(outcome.dones.size(), 1u);
    EXPECT_EQ(outcome.dones[0].status, SRV_DONE_COUNT);
    EXPECT_EQ(outcome.dones[0].count, 2);
    EXPECT_EQ(Server().Remaining(user), (std::vector<int>{3, 4, 5}));
  }
}

}  // namespace
