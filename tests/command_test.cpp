// The command step through the loaded procedure library, as the database
// server calls it, against the fake POP3 server on 127.0.0.1:110: the
// requests the server saw, the rows, QUIT only for the deleting commands,
// the done status and its count, the column descriptions, and what is left
// in the mailbox.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/call.h"
#include "tests/support/fake_pop3_server.h"
#include "tests/support/procedure.h"

namespace {

using testing_support::Procedure;
using testing_support::ShortWaitProcedure;

const std::string kOne =
    "From: bob@example.test\r\n"
    "Subject: one\r\n"
    "\r\n"
    "First body.\r\n";
const std::string kTwo =
    "Subject: two\r\n"
    "\r\n"
    ".leading dot\r\n"
    "..two dots\r\n";
const std::string kThree =
    "Subject: \xe9t\xe9\r\n"
    "\r\n"
    "Bytes \x80\xff.\r\n";
const std::string kFour = "Subject: four\r\n\r\n4\r\n";
const std::string kFive = "Subject: five\r\n\r\n5\r\n";

// What the rows carry: the message without the CR LF of its last line, its
// headers with the CR LF of the last one, its size.
std::string Text(const std::string& message) { return message.substr(0, message.size() - 2); }
std::string Headers(const std::string& message) {
  return message.substr(0, message.find("\r\n\r\n") + 2);
}
std::string Size(const std::string& message) { return std::to_string(message.size()); }

const char kDescribeId[] =
    R"({"op":"srv_describe","column":1,"name":"id","namelen":-1,"desttype":56,"destlen":1,)"
    R"("srctype":56,"srclen":1})";
const char kDescribeMessage[] =
    R"({"op":"srv_describe","column":2,"name":"message","namelen":-1,"desttype":167,)"
    R"("destlen":8000,"srctype":167,"srclen":0})";

using Rows = std::vector<std::pair<int32_t, std::string>>;

// One call of the procedure, and what the server and the host saw of it.
struct Outcome {
  int returned = -1;
  std::vector<std::string> requests;  // after USER and PASS, without CR LF
  std::vector<std::string> login;     // USER and PASS, or what came of them
  Rows rows;                          // every row the procedure tried to send
  std::vector<host::Done> dones;
  std::vector<host::Message> messages;
  std::vector<std::string> describes;
  // Operations after the intake, by name.
  std::vector<std::string> results;
  std::vector<int> deleted;
  std::vector<host::Event> transcript;
};

Outcome CallProcedure(const host::Library& library, FakePop3Server* server,
                      const std::string& command, int32_t message, int failRowsFrom = 0) {
  host::Call call({host::Param::Text("127.0.0.1"), host::Param::Text("alice"),
                   host::Param::Text("secret"), host::Param::Text(command),
                   host::Param::Int(message)});
  if (failRowsFrom > 0) call.FailRowsFrom(failRowsFrom);
  Outcome outcome;
  FinishWithin(std::chrono::seconds(60), command.c_str(),
               [&] { outcome.returned = library.Execute(call); });
  for (const host::Row& row : call.Rows()) outcome.rows.emplace_back(row.id, row.message);
  outcome.dones = call.Dones();
  outcome.messages = call.Messages();
  outcome.transcript = call.Transcript();
  bool intake = true;
  for (const host::Event& event : call.Transcript()) {
    if (event.op == "srv_describe") outcome.describes.push_back(host::ToJson(event));
    if (intake && event.op.compare(0, 9, "srv_param") != 0 && event.op != "srv_rpcparams") {
      intake = false;
    }
    if (!intake) outcome.results.push_back(event.op);
  }
  if (server != nullptr) {
    // The procedure has closed its connection; wait until the server saw that.
    EXPECT_TRUE(server->WaitForEnded(server->Connections()));
    const std::vector<std::string> commands = server->Commands();
    for (size_t i = 0; i < commands.size(); ++i) {
      (i < 2 ? outcome.login : outcome.requests).push_back(commands[i]);
    }
    outcome.deleted = server->Deleted();
  }
  return outcome;
}

// The host operations of a successful call after its intake: both columns
// described, four operations per row, then the done status.
std::vector<std::string> ResultOperations(size_t rows) {
  std::vector<std::string> ops = {"srv_describe", "srv_describe"};
  for (size_t i = 0; i < rows; ++i) {
    ops.insert(ops.end(), {"srv_setcoldata", "srv_setcoldata", "srv_setcollen", "srv_sendrow"});
  }
  ops.push_back("srv_senddone");
  return ops;
}

struct Case {
  const char* name;
  std::vector<std::string> mailbox;
  std::set<int> refused;
  std::string command;
  int32_t message;
  std::vector<std::string> requests;
  Rows rows;
  int32_t count;
  std::vector<int> deleted;
};

void CheckCase(const Case& c, const Outcome& got) {
  EXPECT_EQ(got.returned, 0);
  EXPECT_EQ(got.login, (std::vector<std::string>{"USER alice", "PASS secret"}));
  EXPECT_EQ(got.requests, c.requests);
  EXPECT_EQ(got.rows, c.rows);
  ASSERT_EQ(got.dones.size(), 1u);
  EXPECT_EQ(got.dones[0].status, 0x10);
  EXPECT_EQ(got.dones[0].info, 0);
  EXPECT_EQ(got.dones[0].count, c.count);
  EXPECT_TRUE(got.messages.empty());
  EXPECT_EQ(got.describes, (std::vector<std::string>{kDescribeId, kDescribeMessage}));
  EXPECT_EQ(got.results, ResultOperations(c.rows.size()));
  EXPECT_EQ(got.deleted, c.deleted);
}

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.command + " " + std::to_string(c.message));
    FakePop3Options options;
    options.messages = c.mailbox;
    options.refusedMessages = c.refused;
    FakePop3Server server(options);
    CheckCase(c, CallProcedure(Procedure(), &server, c.command, c.message));
  }
}

const std::vector<std::string> kThreeMessages = {kOne, kTwo, kThree};

TEST(CommandTest, EachCommandOnOneMessageAndOnAll) {
  const auto& box = kThreeMessages;
  RunCases({
      {"one", box, {}, "READ", 2, {"RETR 2"}, {{2, Text(kTwo)}}, 1, {}},
      {"all", box, {}, "READ", 0, {"RETR 1", "RETR 2", "RETR 3", "RETR 4"},
       {{1, Text(kOne)}, {2, Text(kTwo)}, {3, Text(kThree)}}, 3, {}},
      {"one", box, {}, "READ_TOP", 2, {"TOP 2 0"}, {{2, Headers(kTwo)}}, 1, {}},
      {"all", box, {}, "READ_TOP", 0, {"TOP 1 0", "TOP 2 0", "TOP 3 0", "TOP 4 0"},
       {{1, Headers(kOne)}, {2, Headers(kTwo)}, {3, Headers(kThree)}}, 3, {}},
      {"one", box, {}, "READ_DEL", 2, {"RETR 2", "DELE 2", "QUIT "}, {{2, Text(kTwo)}}, 1, {2}},
      {"all", box, {}, "READ_DEL", 0,
       {"RETR 1", "DELE 1", "RETR 2", "DELE 2", "RETR 3", "DELE 3", "RETR 4", "QUIT "},
       {{1, Text(kOne)}, {2, Text(kTwo)}, {3, Text(kThree)}}, 3, {1, 2, 3}},
      {"one", box, {}, "READ_TOP_DEL", 2, {"TOP 2 0", "DELE 2", "QUIT "}, {{2, Headers(kTwo)}}, 1,
       {2}},
      {"all", box, {}, "READ_TOP_DEL", 0,
       {"TOP 1 0", "DELE 1", "TOP 2 0", "DELE 2", "TOP 3 0", "DELE 3", "TOP 4 0", "QUIT "},
       {{1, Headers(kOne)}, {2, Headers(kTwo)}, {3, Headers(kThree)}}, 3, {1, 2, 3}},
      {"one", box, {}, "LIST", 2, {"LIST 2"}, {{2, Size(kTwo)}}, 1, {}},
      {"all", box, {}, "LIST", 0, {"LIST 1", "LIST 2", "LIST 3", "LIST 4"},
       {{1, Size(kOne)}, {2, Size(kTwo)}, {3, Size(kThree)}}, 3, {}},
      {"one", box, {}, "DEL", 2, {"DELE 2", "QUIT "}, {}, 1, {2}},
      {"all", box, {}, "DEL", 0, {"DELE 1", "DELE 2", "DELE 3", "DELE 4", "QUIT "}, {}, 3,
       {1, 2, 3}},
  });
}

TEST(CommandTest, EmptyMailboxAndMessageAboveTheLast) {
  const std::vector<std::string> none;
  const auto& box = kThreeMessages;
  RunCases({
      {"empty mailbox", none, {}, "READ", 0, {"RETR 1"}, {}, 0, {}},
      {"empty mailbox", none, {}, "READ_TOP", 0, {"TOP 1 0"}, {}, 0, {}},
      {"empty mailbox", none, {}, "READ_DEL", 0, {"RETR 1", "QUIT "}, {}, 0, {}},
      {"empty mailbox", none, {}, "READ_TOP_DEL", 0, {"TOP 1 0", "QUIT "}, {}, 0, {}},
      {"empty mailbox", none, {}, "LIST", 0, {"LIST 1"}, {}, 0, {}},
      {"empty mailbox", none, {}, "DEL", 0, {"DELE 1", "QUIT "}, {}, 0, {}},
      {"above the last", box, {}, "READ", 9, {"RETR 9"}, {}, 0, {}},
      {"above the last", box, {}, "READ_TOP", 9, {"TOP 9 0"}, {}, 0, {}},
      {"above the last", box, {}, "READ_DEL", 9, {"RETR 9", "QUIT "}, {}, 0, {}},
      {"above the last", box, {}, "READ_TOP_DEL", 9, {"TOP 9 0", "QUIT "}, {}, 0, {}},
      {"above the last", box, {}, "LIST", 9, {"LIST 9"}, {}, 0, {}},
      // A refused DELE counts 0, an accepted one 1.
      {"above the last", box, {}, "DEL", 9, {"DELE 9", "QUIT "}, {}, 0, {}},
  });
}

TEST(CommandTest, RefusedMessageEndsTheWalk) {
  const std::vector<std::string> five = {kOne, kTwo, kThree, kFour, kFive};
  RunCases({
      {"2 of 5 refused", five, {2}, "READ", 0, {"RETR 1", "RETR 2"}, {{1, Text(kOne)}}, 1, {}},
      {"2 of 5 refused", five, {2}, "READ_TOP", 0, {"TOP 1 0", "TOP 2 0"}, {{1, Headers(kOne)}},
       1, {}},
      {"2 of 5 refused", five, {2}, "READ_DEL", 0, {"RETR 1", "DELE 1", "RETR 2", "QUIT "},
       {{1, Text(kOne)}}, 1, {1}},
      {"2 of 5 refused", five, {2}, "LIST", 0, {"LIST 1", "LIST 2"}, {{1, Size(kOne)}}, 1, {}},
      {"2 of 5 refused", five, {2}, "DEL", 0, {"DELE 1", "DELE 2", "QUIT "}, {}, 1, {1}},
      {"the one asked for refused", five, {2}, "DEL", 2, {"DELE 2", "QUIT "}, {}, 0, {}},
      {"4 accepted, the 5th refused", {kOne, kTwo, kThree, kFour}, {}, "DEL", 0,
       {"DELE 1", "DELE 2", "DELE 3", "DELE 4", "DELE 5", "QUIT "}, {}, 4, {1, 2, 3, 4}},
  });
}

// A row carries at most 8000 bytes of a text; READ_DEL still deletes the
// whole message.
TEST(CommandTest, LongTextsAreCutTo8000Bytes) {
  auto message = [](size_t textLength) {
    std::string text = "Subject: long\r\n\r\n";
    while (text.size() < textLength) text += "0123456789abcdef\r\n";
    text.resize(textLength);
    return text + "\r\n";
  };
  std::string longHeader = "Subject: ";
  longHeader += std::string(9000, 'h') + "\r\n\r\nbody\r\n";
  const struct {
    std::string command;
    std::string stored;
    std::string row;
    std::vector<int> deleted;
  } cases[] = {
      {"READ", message(7999), Text(message(7999)), {}},
      {"READ", message(8000), Text(message(8000)), {}},
      {"READ", message(8001), Text(message(8001)).substr(0, 8000), {}},
      {"READ_DEL", message(9000), Text(message(9000)).substr(0, 8000), {1}},
      {"READ_TOP", longHeader, Headers(longHeader).substr(0, 8000), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + " of " + std::to_string(c.stored.size()) + " bytes");
    FakePop3Options options;
    options.messages = {c.stored};
    FakePop3Server server(options);
    const Outcome got = CallProcedure(Procedure(), &server, c.command, 1);
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0].second.size(), c.row.size());
    EXPECT_TRUE(got.rows[0].second == c.row);
    int lengthSet = -1;
    for (const host::Event& event : got.transcript) {
      if (event.op == "srv_setcollen") lengthSet = static_cast<int>(event.Number("len"));
    }
    EXPECT_EQ(lengthSet, static_cast<int>(c.row.size()));
    EXPECT_EQ(got.deleted, c.deleted);
  }
}

// LIST sends what follows the last space of the answer, less its last two
// bytes; the id is the number asked for.
TEST(CommandTest, ListAnswerIsShortened) {
  const struct {
    const char* name;
    std::string answer;
    std::string row;
  } cases[] = {
      {"normal", "+OK 1 340\r\n", "340"},
      {"the id is the number asked for", "+OK 7 340\r\n", "340"},
      {"no space: the whole answer", "+OK\r\n", "+OK\r\n"},
      {"a word after the size", "+OK 1 340 octets\r\n", "octets"},
      {"last space right before CR LF: empty", "+OK 1 340 \r\n", ""},
      {"positive by +OK in the middle", "* +OK 1 12\r\n", "12"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options;
    options.messages = kThreeMessages;
    options.faults = {FakePop3Fault::Canned("LIST 1", c.answer)};
    FakePop3Server server(options);
    const Outcome got = CallProcedure(Procedure(), &server, "LIST", 1);
    EXPECT_EQ(got.rows, (Rows{{1, c.row}}));
    ASSERT_EQ(got.dones.size(), 1u);
    EXPECT_EQ(got.dones[0].count, 1);
  }
}

// When srv_sendrow fails (the client has gone), the deleting commands send
// no DELE for that message, end the walk and still send QUIT, so only the
// delivered rows are deleted. The other commands do not look.
TEST(CommandTest, UndeliveredRowsAreNotDeleted) {
  const auto& box = kThreeMessages;
  const struct {
    const char* name;
    std::string command;
    int32_t message;
    int failFrom;
    std::vector<std::string> requests;
    Rows rows;  // every row tried
    int32_t count;
    std::vector<int> deleted;
  } cases[] = {
      {"second row fails", "READ_DEL", 0, 2, {"RETR 1", "DELE 1", "RETR 2", "QUIT "},
       {{1, Text(kOne)}, {2, Text(kTwo)}}, 1, {1}},
      {"first row fails", "READ_TOP_DEL", 0, 1, {"TOP 1 0", "QUIT "}, {{1, Headers(kOne)}}, 0, {}},
      {"the one row fails", "READ_DEL", 2, 1, {"RETR 2", "QUIT "}, {{2, Text(kTwo)}}, 0, {}},
      {"READ goes on", "READ", 0, 2, {"RETR 1", "RETR 2", "RETR 3", "RETR 4"},
       {{1, Text(kOne)}, {2, Text(kTwo)}, {3, Text(kThree)}}, 3, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.command);
    FakePop3Options options;
    options.messages = box;
    FakePop3Server server(options);
    const Outcome got = CallProcedure(Procedure(), &server, c.command, c.message, c.failFrom);
    EXPECT_EQ(got.returned, 0);
    EXPECT_EQ(got.requests, c.requests);
    EXPECT_EQ(got.rows, c.rows);
    ASSERT_EQ(got.dones.size(), 1u);
    EXPECT_EQ(got.dones[0].status, 0x10);
    EXPECT_EQ(got.dones[0].count, c.count);
    EXPECT_EQ(got.deleted, c.deleted);
    EXPECT_EQ(server.Mailbox().size(), box.size() - c.deleted.size());
  }
}

// No connection or no login: only the login message and the error done
// status, no column described, no QUIT, for every command.
TEST(CommandTest, FailedLoginDescribesNothing) {
  struct Server {
    const char* name;
    bool running;
    std::function<void(FakePop3Options&)> script;
    std::vector<std::string> seen;
  };
  const Server servers[] = {
      {"wrong password", true, [](FakePop3Options& o) { o.refusePassword = true; },
       {"USER alice", "PASS secret"}},
      {"negative greeting", true, [](FakePop3Options& o) { o.greeting = "-ERR busy\r\n"; }, {}},
      {"no server", false, [](FakePop3Options&) {}, {}},
  };
  for (const Server& s : servers) {
    for (const char* command : {"READ", "READ_TOP", "READ_DEL", "READ_TOP_DEL", "LIST", "DEL"}) {
      SCOPED_TRACE(std::string(s.name) + ": " + command);
      FakePop3Options options;
      options.messages = kThreeMessages;
      s.script(options);
      std::unique_ptr<FakePop3Server> server;
      if (s.running) server = std::make_unique<FakePop3Server>(options);
      const Outcome got = CallProcedure(Procedure(), server.get(), command, 0);
      EXPECT_EQ(got.returned, 1);
      EXPECT_TRUE(got.describes.empty());
      EXPECT_TRUE(got.rows.empty());
      ASSERT_EQ(got.messages.size(), 1u);
      EXPECT_EQ(got.messages[0].type, 2);
      EXPECT_EQ(got.messages[0].number, 20001);
      EXPECT_EQ(got.messages[0].msgClass, 1);
      EXPECT_EQ(got.messages[0].state, 1);
      EXPECT_EQ(got.messages[0].line, 304);
      EXPECT_EQ(got.messages[0].text, "Can not establish connection to POP3 server.");
      ASSERT_EQ(got.dones.size(), 1u);
      EXPECT_EQ(got.dones[0].status, 3);
      EXPECT_EQ(got.dones[0].count, 0);
      EXPECT_EQ(got.results, (std::vector<std::string>{"srv_sendmsg", "srv_senddone"}));
      if (server) {
        std::vector<std::string> seen = got.login;
        seen.insert(seen.end(), got.requests.begin(), got.requests.end());
        EXPECT_EQ(seen, s.seen);
      }
    }
  }
}

// A server that breaks down in the middle of a walk ends it like a refusal:
// the rows so far, their count, success. The silent cases use the library
// built with a 1 s idle limit.
TEST(CommandTest, BrokenServerEndsTheWalk) {
  const struct {
    const char* name;
    bool shortWait;
    FakePop3Fault fault;
    std::string command;
    std::vector<std::string> requests;
    Rows rows;
    int32_t count;
  } cases[] = {
      {"closed inside RETR 2", false, FakePop3Fault::CloseAt("RETR 2", 10), "READ",
       {"RETR 1", "RETR 2"}, {{1, Text(kOne)}}, 1},
      {"closed inside RETR 2, deleting", false, FakePop3Fault::CloseAt("RETR 2", 10), "READ_DEL",
       {"RETR 1", "DELE 1", "RETR 2"}, {{1, Text(kOne)}}, 1},
      {"silent at RETR 2", true, FakePop3Fault::SilentAt("RETR 2", 10), "READ",
       {"RETR 1", "RETR 2"}, {{1, Text(kOne)}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options;
    options.messages = kThreeMessages;
    options.faults = {c.fault};
    FakePop3Server server(options);
    const Outcome got =
        CallProcedure(c.shortWait ? ShortWaitProcedure() : Procedure(), &server, c.command, 0);
    EXPECT_EQ(got.returned, 0);
    EXPECT_EQ(got.requests, c.requests);
    EXPECT_EQ(got.rows, c.rows);
    ASSERT_EQ(got.dones.size(), 1u);
    EXPECT_EQ(got.dones[0].count, c.count);
    // No QUIT reached the server, so nothing was deleted.
    EXPECT_TRUE(got.deleted.empty());
  }
}

}  // namespace
