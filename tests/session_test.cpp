// CPop3Session against the fake POP3 server on 127.0.0.1:110: the wire
// format of every command, the results and texts it gives back, login
// failures, broken and silent servers, and that the way the server cuts its
// answers into writes changes nothing.
#include "pop3/pop3_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/fake_pop3_server.h"

namespace {

using std::chrono::seconds;

// Sessions have the shipped idle limit of 20 s, which a conversation that
// goes well never waits for; only the tests of silent servers use this
// short one, so that they end quickly.
constexpr uint32_t kIdleMs = 300;

const CText kHost("127.0.0.1");
const CText kUser("alice");
const CText kPassword("secret");

// A text that a failed Retr or Top must leave as it is.
const char kUntouched[] = "untouched";

const std::string kFirst =
    "From: bob@example.test\r\n"
    "Subject: first\r\n"
    "\r\n"
    "Hello Alice.\r\n";
const std::string kSecond =
    "Subject: dots\r\n"
    "\r\n"
    ".leading dot\r\n"
    "..two dots\r\n"
    ".\r\n"
    "end\r\n";

// What Retr gives for a stored message: all of it but the CR LF of its last line.
std::string Retrieved(const std::string& message) {
  return message.substr(0, message.size() - 2);
}

FakePop3Options TwoMessages() {
  FakePop3Options options;
  options.messages = {kFirst, kSecond};
  return options;
}

std::vector<std::string> LoggedBytes(const FakePop3Server& server) {
  std::vector<std::string> lines;
  for (const FakePop3Server::LoggedLine& line : server.Log()) lines.push_back(line.bytes);
  return lines;
}

TEST(SessionTest, EachCommandGoesOutInItsWireFormat) {
  FakePop3Server server(TwoMessages());
  CPop3Session session;
  CText text;
  ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
  session.List(text, 2);
  session.List(text, -7);
  session.Retr(text, 1);
  session.Top(text, 12);
  session.Dele(2147483647);
  session.Dele(0);
  session.Quit();
  const std::vector<std::string> expected = {
      "USER alice\r\n", "PASS secret\r\n", "LIST 2\r\n",          "LIST -7\r\n",
      "RETR 1\r\n",     "TOP 12 0\r\n",    "DELE 2147483647\r\n", "DELE 0\r\n",
      "QUIT \r\n",
  };
  EXPECT_EQ(LoggedBytes(server), expected);
}

// One logged-in session, the steps run in order: results and texts.
TEST(SessionTest, ResultsAndTexts) {
  FakePop3Server server(TwoMessages());
  CPop3Session session;
  ASSERT_TRUE(session.Login(kHost, kUser, kPassword));

  struct Step {
    const char* name;
    std::function<bool(CPop3Session&, CText&)> run;
    bool result;
    std::string text;
  };
  const std::string firstSize = std::to_string(kFirst.size());
  const Step steps[] = {
      {"LIST of a message: its status line with CR LF",
       [](CPop3Session& s, CText& t) { return s.List(t, 1); }, true, "+OK 1 " + firstSize + "\r\n"},
      {"LIST refused: the server's answer",
       [](CPop3Session& s, CText& t) { return s.List(t, 3); }, false, "-ERR no such message\r\n"},
      {"RETR: without the last CR LF", [](CPop3Session& s, CText& t) { return s.Retr(t, 1); },
       true, Retrieved(kFirst)},
      {"RETR: stuffed dots removed", [](CPop3Session& s, CText& t) { return s.Retr(t, 2); }, true,
       Retrieved(kSecond)},
      {"RETR refused", [](CPop3Session& s, CText& t) { return s.Retr(t, 3); }, false, kUntouched},
      {"TOP: headers, the last with its CR LF",
       [](CPop3Session& s, CText& t) { return s.Top(t, 1); }, true,
       "From: bob@example.test\r\nSubject: first\r\n"},
      {"TOP refused", [](CPop3Session& s, CText& t) { return s.Top(t, 0); }, false, kUntouched},
      {"DELE", [](CPop3Session& s, CText&) { return s.Dele(1); }, true, kUntouched},
      {"DELE twice", [](CPop3Session& s, CText&) { return s.Dele(1); }, false, kUntouched},
      {"RETR of a deleted message", [](CPop3Session& s, CText& t) { return s.Retr(t, 1); }, false,
       kUntouched},
      {"QUIT", [](CPop3Session& s, CText&) { return s.Quit(); }, true, kUntouched},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    CText text(kUntouched);
    EXPECT_EQ(step.run(session, text), step.result);
    EXPECT_EQ(std::string(text.Data()), step.text);
  }
  // QUIT carried out the deletion; the session keeps its connection.
  EXPECT_EQ(server.Deleted(), std::vector<int>{1});
  EXPECT_TRUE(session.Connected());
}

TEST(SessionTest, LoginStopsAtTheFirstRefusal) {
  struct Case {
    const char* name;
    std::function<void(FakePop3Options&)> script;
    bool result;
    std::vector<std::string> seen;
  };
  const std::string huge = "+OK " + std::string(3 * 1024 * 1024, 'x');
  const Case cases[] = {
      {"accepted", [](FakePop3Options&) {}, true, {"USER alice", "PASS secret"}},
      {"+OK in the middle of the greeting",
       [](FakePop3Options& o) { o.greeting = "* server +OK ready\r\n"; }, true,
       {"USER alice", "PASS secret"}},
      {"negative greeting: no USER",
       [](FakePop3Options& o) { o.greeting = "-ERR go away\r\n"; }, false, {}},
      {"negative USER: no PASS", [](FakePop3Options& o) { o.user = "bob"; }, false,
       {"USER alice"}},
      {"negative PASS", [](FakePop3Options& o) { o.refusePassword = true; }, false,
       {"USER alice", "PASS secret"}},
      {"closed before the greeting",
       [](FakePop3Options& o) { o.faults = {FakePop3Fault::CloseAt("")}; }, false, {}},
      {"closed inside the greeting",
       [](FakePop3Options& o) { o.faults = {FakePop3Fault::CloseAt("", 5)}; }, false, {}},
      {"greeting of megabytes without CR LF",
       [&](FakePop3Options& o) { o.faults = {FakePop3Fault::Canned("", huge)}; }, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options = TwoMessages();
    c.script(options);
    FakePop3Server server(options);
    CPop3Session session;
    bool result = !c.result;
    FinishWithin(seconds(10), c.name,
                 [&] { result = session.Login(kHost, kUser, kPassword); });
    EXPECT_EQ(result, c.result);
    session.Close();
    ASSERT_TRUE(server.WaitForEnded(1));
    EXPECT_EQ(server.Commands(), c.seen);
  }
}

TEST(SessionTest, LoginWithoutServerFails) {
  CPop3Session session;
  EXPECT_FALSE(session.Login(kHost, kUser, kPassword));
  EXPECT_FALSE(session.Connected());
}

// A read of a connection that the server closed ends at once. The session
// here has the shipped idle limit of 20 s, so the bound of 10 s tells a read
// that ended because the connection closed from one that waited it out.
TEST(SessionTest, ClosedConnectionEndsTheReadAtOnce) {
  const std::string wire = "+OK " + std::to_string(kFirst.size()) + " octets\r\n" +
                           FakePop3Server::Stuffed(kFirst);
  struct Case {
    const char* name;
    FakePop3Fault fault;
  };
  const Case cases[] = {
      {"before the status line", FakePop3Fault::CloseAt("RETR 1")},
      {"inside the status line", FakePop3Fault::CloseAt("RETR 1", 3)},
      {"after the status line", FakePop3Fault::CloseAt("RETR 1", wire.find('\n') + 1)},
      {"inside the body", FakePop3Fault::CloseAt("RETR 1", wire.size() / 2)},
      {"inside the end marker", FakePop3Fault::CloseAt("RETR 1", wire.size() - 2)},
      {"after an endless body",
       FakePop3Fault::Endless("RETR 1", "+OK\r\n", std::string(1000, 'x') + "\r\n", 300)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options = TwoMessages();
    options.faults = {c.fault};
    FakePop3Server server(options);
    CPop3Session session(8000);
    ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
    CText text(kUntouched);
    bool result = true;
    FinishWithin(seconds(10), c.name, [&] { result = session.Retr(text, 1); });
    EXPECT_FALSE(result);
    EXPECT_STREQ(text.Data(), kUntouched);
    // Nothing more can come: the next request fails at once too.
    FinishWithin(seconds(10), c.name, [&] { result = session.List(text, 1); });
    EXPECT_FALSE(result);
  }
}

// A server that stays silent without closing ends each kind of read after
// the idle limit.
TEST(SessionTest, SilentServerEndsTheReadAfterTheIdleLimit) {
  struct Case {
    const char* name;
    FakePop3Fault fault;
    std::function<bool(CPop3Session&)> run;
  };
  auto retr = [](CPop3Session& s) {
    CText text;
    return s.Login(kHost, kUser, kPassword) && s.Retr(text, 1);
  };
  auto list = [](CPop3Session& s) {
    CText text;
    return s.Login(kHost, kUser, kPassword) && s.List(text, 1);
  };
  auto login = [](CPop3Session& s) { return s.Login(kHost, kUser, kPassword); };
  const Case cases[] = {
      {"greeting", FakePop3Fault::SilentAt(""), login},
      {"inside the greeting", FakePop3Fault::SilentAt("", 4), login},
      {"answer to USER", FakePop3Fault::SilentAt("USER"), login},
      {"answer to LIST", FakePop3Fault::SilentAt("LIST 1"), list},
      {"status of RETR", FakePop3Fault::SilentAt("RETR 1"), retr},
      {"middle of the body", FakePop3Fault::SilentAt("RETR 1", 30), retr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options = TwoMessages();
    options.faults = {c.fault};
    FakePop3Server server(options);
    CPop3Session session(CReplyReader::kKeepWholeBody, kIdleMs);
    bool result = true;
    FinishWithin(seconds(10), c.name, [&] { result = c.run(session); });
    EXPECT_FALSE(result);
  }
}

TEST(SessionTest, WithoutTransportNothingIsSent) {
  FakePop3Server server(TwoMessages());
  CPop3Session session;
  auto everyCommandFails = [&](const char* when) {
    SCOPED_TRACE(when);
    CText text(kUntouched);
    EXPECT_FALSE(session.Connected());
    EXPECT_FALSE(session.List(text, 1));
    EXPECT_FALSE(session.Retr(text, 1));
    EXPECT_FALSE(session.Top(text, 1));
    EXPECT_FALSE(session.Dele(1));
    EXPECT_FALSE(session.Quit());
    EXPECT_STREQ(text.Data(), kUntouched);
  };
  everyCommandFails("new session");
  EXPECT_EQ(server.Connections(), 0);

  ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
  session.Close();
  everyCommandFails("after Close");
  ASSERT_TRUE(server.WaitForEnded(1));
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER alice", "PASS secret"}));
}

// A second Open closes the first connection without QUIT; a failed one
// leaves the session without any.
TEST(SessionTest, OpenAgainClosesTheFirstConnection) {
  FakePop3Server server(TwoMessages());
  CPop3Session session;
  ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
  ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
  ASSERT_TRUE(server.WaitForEnded(1));
  EXPECT_EQ(server.Connections(), 2);
  EXPECT_EQ(server.Commands(1), (std::vector<std::string>{"USER alice", "PASS secret"}));

  EXPECT_FALSE(session.Open(CText("no-such-host.invalid")));
  EXPECT_FALSE(session.Connected());
  ASSERT_TRUE(server.WaitForEnded(2));
  EXPECT_EQ(server.Commands(2), (std::vector<std::string>{"USER alice", "PASS secret"}));
}

TEST(SessionTest, CloseTwice) {
  FakePop3Server server(TwoMessages());
  CPop3Session session;
  ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
  session.Close();
  session.Close();
  EXPECT_FALSE(session.Connected());
  ASSERT_TRUE(server.WaitForEnded(1));
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER alice", "PASS secret"}));
}

TEST(SessionTest, CredentialsGoOutByteForByte) {
  const struct {
    const char* name;
    std::string user;
    std::string password;
  } cases[] = {
      {"bytes of 0x80 and above", "al\x80ice\xff", "p\xe9ss\xa0w\xc3\xb6rd"},
      {"blanks, tabs and punctuation", "a b\tc", " %s%d \\ 'x'"},
      {"511 bytes each", std::string(511, 'u'), std::string(511, 'p')},
      {"longer than any parameter", std::string(1000, 'u'), std::string(3000, 'p')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Server server(TwoMessages());
    CPop3Session session;
    ASSERT_TRUE(session.Login(kHost, CText(c.user.c_str()), CText(c.password.c_str())));
    EXPECT_EQ(LoggedBytes(server), (std::vector<std::string>{"USER " + c.user + "\r\n",
                                                             "PASS " + c.password + "\r\n"}));
  }
}

// The same conversation against servers that cut their answers into writes
// in different ways gives exactly the same results.
TEST(SessionTest, ChunkingOfTheAnswersChangesNothing) {
  std::string longLine = "Subject: long\r\n\r\n";
  for (int i = 0; i < 60; ++i) longLine += "word" + std::to_string(i) + " ";
  longLine += "\r\n.dot after a long line\r\n";
  const std::vector<std::string> mailbox = {kFirst, kSecond, "", longLine,
                                            "Subject: \xe9t\xe9\r\n\r\n\x80\xff\r\n"};

  // Results of a fixed run of requests, as one printable transcript.
  auto converse = [&](const FakePop3Options& options) {
    FakePop3Server server(options);
    CPop3Session session;
    std::vector<std::string> results;
    auto note = [&](bool ok, const CText& text) {
      results.push_back((ok ? "true " : "false ") + std::string(text.Data()));
    };
    CText none;
    note(session.Login(kHost, kUser, kPassword), none);
    for (int n = 1; n <= 6; ++n) {
      CText list, retr, top;
      note(session.List(list, n), list);
      note(session.Retr(retr, n), retr);
      note(session.Top(top, n), top);
    }
    note(session.Dele(2), none);
    note(session.Quit(), none);
    return results;
  };

  FakePop3Options oneShot;
  oneShot.messages = mailbox;
  const std::vector<std::string> expected = converse(oneShot);
  ASSERT_EQ(expected.size(), 21u);
  EXPECT_EQ(expected[0], "true ");
  EXPECT_EQ(expected[2], "true " + Retrieved(kFirst));
  EXPECT_EQ(expected[8], "true ");                 // RETR of the empty message
  EXPECT_EQ(expected[11], "true " + Retrieved(longLine));
  EXPECT_EQ(expected[16], "false -ERR no such message\r\n");  // LIST 6

  const struct {
    const char* name;
    size_t chunk;
    unsigned pauseMs;
    bool statusApart;
  } servers[] = {
      {"byte at a time", 1, 0, false},
      {"byte at a time with pauses", 1, 1, false},
      {"two bytes", 2, 0, false},
      {"five bytes with pauses", 5, 1, false},
      {"status apart", 0, 0, true},
      {"status apart, three bytes", 3, 0, true},
  };
  for (const auto& s : servers) {
    SCOPED_TRACE(s.name);
    FakePop3Options options = oneShot;
    options.chunkSize = s.chunk;
    options.chunkPauseMs = s.pauseMs;
    options.statusApart = s.statusApart;
    EXPECT_EQ(converse(options), expected);
  }
}

TEST(SessionTest, LargeMessageKeepsOnlyTheBodyLimit) {
  std::string large = "Subject: large\r\n\r\n";
  while (large.size() < 5 * 1024 * 1024) large += ".a line that the server stuffs\r\n";
  FakePop3Options options;
  options.messages = {large, kFirst};
  FakePop3Server server(options);

  CPop3Session session(8000);
  ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
  CText text;
  ASSERT_TRUE(session.Retr(text, 1));
  EXPECT_EQ(text.Length(), 8000u);
  EXPECT_EQ(std::string(text.Data()), large.substr(0, 8000));
  // The whole answer was read: the next one is in step.
  ASSERT_TRUE(session.Retr(text, 2));
  EXPECT_EQ(std::string(text.Data()), Retrieved(kFirst));
  ASSERT_TRUE(session.List(text, 1));
  EXPECT_EQ(std::string(text.Data()), "+OK 1 " + std::to_string(large.size()) + "\r\n");

  // Without a limit the whole message comes back as stored. The server
  // serves one connection at a time.
  session.Close();
  CPop3Session whole;
  ASSERT_TRUE(whole.Login(kHost, kUser, kPassword));
  ASSERT_TRUE(whole.Retr(text, 1));
  EXPECT_EQ(text.Length(), large.size() - 2);
  EXPECT_TRUE(std::string(text.Data()) == Retrieved(large));
}

// Answers the server got wrong, as canned bytes.
TEST(SessionTest, OddAnswers) {
  struct Case {
    const char* name;
    FakePop3Fault fault;
    std::function<bool(CPop3Session&, CText&)> run;
    bool result;
    std::string text;
  };
  auto retr1 = [](CPop3Session& s, CText& t) { return s.Retr(t, 1); };
  auto list1 = [](CPop3Session& s, CText& t) { return s.List(t, 1); };
  const Case cases[] = {
      {"NUL bytes in status and body",
       FakePop3Fault::Canned("RETR 1", std::string("+OK\0 x\r\nab\0c\r\n\0.\r\n", 18)), retr1,
       true, "abc"},
      {"+OK in the middle of a LIST answer", FakePop3Fault::Canned("LIST 1", "* +OK 1 99\r\n"),
       list1, true, "* +OK 1 99\r\n"},
      {"-ERR that also holds +OK", FakePop3Fault::Canned("LIST 1", "-ERR +OK\r\n"), list1, true,
       "-ERR +OK\r\n"},
      {"status line of megabytes without CR LF",
       FakePop3Fault::Canned("RETR 1", "+OK " + std::string(4 * 1024 * 1024, 'x')), retr1, false,
       kUntouched},
      {"bytes after a complete answer are dropped",
       FakePop3Fault::Canned("RETR 1", "+OK\r\nx\r\n.\r\n+OK stray\r\n"),
       [](CPop3Session& s, CText& t) {
         CText first;
         return s.Retr(first, 1) && first.Equals("x") && s.List(t, 2);
       },
       true, "+OK 2 " + std::to_string(kSecond.size()) + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options = TwoMessages();
    options.faults = {c.fault};
    FakePop3Server server(options);
    CPop3Session session(8000);
    ASSERT_TRUE(session.Login(kHost, kUser, kPassword));
    CText text(kUntouched);
    bool result = !c.result;
    FinishWithin(seconds(10), c.name, [&] { result = c.run(session, text); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(std::string(text.Data()), c.text);
  }
}

}  // namespace
