// mailquarry-exec, the command-line host: its parameter literals, its JSON
// lines, its output for people and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/params.h"
#include "tests/support/fake_pop3_server.h"
#include "tests/support/procedure.h"

extern char** environ;

namespace {

using host::Param;
using testing_support::BuildPath;

// A fake server that answers one request with canned bytes.
FakePop3Options Answering(const std::string& request, const std::string& bytes) {
  FakePop3Options options;
  options.faults.push_back(FakePop3Fault::Canned(request, bytes));
  return options;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// Runs build/mailquarry-exec with the arguments, each one shell word, and
// keeps its exit status, stdout and stderr apart.
Outcome RunTool(const std::vector<std::string>& args) {
  char folder[] = "/tmp/mq-exec-XXXXXX";
  if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::string outPath = std::string(folder) + "/out";
  const std::string errPath = std::string(folder) + "/err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  const std::string program = BuildPath("mailquarry-exec");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  Outcome outcome;
  if (spawned == 0) {
    int raw = 0;
    waitpid(child, &raw, 0);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  outcome.out = ReadFile(outPath);
  outcome.err = ReadFile(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  rmdir(folder);
  if (spawned != 0) throw std::runtime_error("cannot run " + program);
  return outcome;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The JSON line of message 20001 with a text already written as JSON.
std::string MessageLine(const std::string& jsonText) {
  return "{\"op\":\"srv_sendmsg\",\"type\":2,\"number\":20001,\"class\":1,\"state\":1,"
         "\"procnamelen\":0,\"line\":304,\"text\":\"" +
         jsonText + "\",\"textlen\":-1}";
}
const std::string kNegativeMsg = MessageLine("Parameter 5 can not be negative.");
const std::string kErrorDone = "{\"op\":\"srv_senddone\",\"status\":3,\"info\":0,\"count\":0}";

// The parameter lines of a call with texts of the given lengths and an int.
std::vector<std::string> ParamLines(const std::vector<int>& textLengths) {
  std::vector<std::string> lines = {"{\"op\":\"srv_rpcparams\",\"result\":5}"};
  int n = 0;
  for (const int length : textLengths) {
    const std::string p = std::to_string(++n);
    lines.push_back("{\"op\":\"srv_paramtype\",\"param\":" + p + ",\"result\":39}");
    lines.push_back("{\"op\":\"srv_paramlen\",\"param\":" + p +
                    ",\"result\":" + std::to_string(length) + "}");
    lines.push_back("{\"op\":\"srv_paramdata\",\"param\":" + p + "}");
  }
  lines.push_back("{\"op\":\"srv_paramtype\",\"param\":5,\"result\":38}");
  lines.push_back("{\"op\":\"srv_paramlen\",\"param\":5,\"result\":4}");
  lines.push_back("{\"op\":\"srv_paramdata\",\"param\":5}");
  return lines;
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ExecJson, FailingCallGivesEveryOperationThenTheReturnValue) {
  const Outcome run = RunTool({"--json", "'127.0.0.1', 'alice', 'secret', 'read', -1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Lines(run.out), Joined(ParamLines({9, 5, 6, 4}),
                                   {kNegativeMsg, kErrorDone, "{\"op\":\"return\",\"value\":1}"}));
}

TEST(ExecJson, ListingGivesTheResultSetOperations) {
  FakePop3Server server(Answering("LIST 2", "+OK 2 340\r\n"));
  const Outcome run = RunTool({"--json", "'127.0.0.1', 'alice', 'secret', 'list', 2"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  const std::vector<std::string> results = {
      "{\"op\":\"srv_describe\",\"column\":1,\"name\":\"id\",\"namelen\":-1,\"desttype\":56,"
      "\"destlen\":1,\"srctype\":56,\"srclen\":1}",
      "{\"op\":\"srv_describe\",\"column\":2,\"name\":\"message\",\"namelen\":-1,\"desttype\":167,"
      "\"destlen\":8000,\"srctype\":167,\"srclen\":0}",
      "{\"op\":\"srv_setcoldata\",\"column\":1}",
      "{\"op\":\"srv_setcoldata\",\"column\":2}",
      "{\"op\":\"srv_setcollen\",\"column\":2,\"len\":3}",
      "{\"op\":\"srv_sendrow\",\"id\":2,\"message\":\"340\"}",
      "{\"op\":\"srv_senddone\",\"status\":16,\"info\":0,\"count\":1}",
      "{\"op\":\"return\",\"value\":0}",
  };
  EXPECT_EQ(Lines(run.out), Joined(ParamLines({9, 5, 6, 4}), results));
  ASSERT_TRUE(server.WaitForEnded(1));
  EXPECT_EQ(server.Commands(),
            (std::vector<std::string>{"USER alice", "PASS secret", "LIST 2"}));
}

// A row's bytes of 0x80 and up come out as \u00XX, so the string read as
// Latin-1 gives back the exact bytes; control bytes are escaped as JSON needs.
TEST(ExecJson, RowBytesAreWrittenSoTheyCanBeReadBack) {
  FakePop3Server server(
      Answering("RETR 1", "+OK\r\nSubject: caf\xE9\r\n\r\n\"\\\t\x01\xFF\r\n.\r\n"));
  const Outcome run = RunTool({"--json", "'127.0.0.1', 'alice', 'secret', 'READ', 1"});
  EXPECT_EQ(run.status, 0);
  const std::string row =
      "{\"op\":\"srv_sendrow\",\"id\":1,"
      "\"message\":\"Subject: caf\\u00E9\\r\\n\\r\\n\\\"\\\\\\t\\u0001\\u00FF\"}";
  const std::vector<std::string> lines = Lines(run.out);
  EXPECT_NE(std::find(lines.begin(), lines.end(), row), lines.end()) << run.out;
}

TEST(ExecForPeople, ShowsTheResultSetAndItsCount) {
  FakePop3Server server(Answering("RETR 1", "+OK\r\nSubject: hi\r\n\r\nbody\r\n.\r\n"));
  const Outcome run = RunTool({"'127.0.0.1', 'alice', 'secret', 'read', 1"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "id          message\n"
            "----------- ----------------------------------------\n"
            "1           Subject: hi\n"
            "            \n"
            "            body\n"
            "\n"
            "(1 row affected)\n");
}

TEST(ExecForPeople, ShowsAFailureAsSqlServerMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"'127.0.0.1', 'alice', 'secret', 'read', -1"},
       "Msg 20001, Level 1, State 1, Line 304\nParameter 5 can not be negative.\n"},
      {{"'127.0.0.1', 'alice', 'secret', 'READ_ALL', 0"},
       "Msg 20001, Level 1, State 1, Line 304\nParameter 4 is wrong.\n"
       "Use anyone from the list: READ,READ_TOP,READ_DEL,READ_TOP_DEL,LIST,DEL\n"},
      {{},
       "Msg 20001, Level 1, State 1, Line 304\nUsage:\n"
       "exec master..mailquarry 'server', 'user', 'password', 'command', message_id\n"
       "\tcommand:\n\t\tREAD\t\tread message\n\t\tREAD_TOP\tread message header only\n"
       "\t\tREAD_DEL\tread message and delete it from email box\n"
       "\t\tREAD_TOP_DEL\tread message header only and delete the message from email box\n"
       "\t\tLIST\t\tshow scan listing\n\t\tDEL\t\tdelete message from email box\n"
       "\tmess_id:\n\t\t0 - all messages\n\t\t>0 - message-number\n\n"},
  };
  for (const Case& c : cases) {
    const Outcome run = RunTool(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
  }
}

// How the literals reach the procedure, seen in the JSON lines.
TEST(ExecLiterals, BecomeTheParametersTheProcedureReads) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> lines;  // the whole output
  };
  const std::string noConnection = MessageLine("Can not establish connection to POP3 server.");
  const std::string null = MessageLine("Parameter 5 can not be NULL.");
  const std::string usage = MessageLine(
      "Usage:\\nexec master..mailquarry 'server', 'user', 'password', 'command', message_id\\n"
      "\\tcommand:\\n\\t\\tREAD\\t\\tread message\\n\\t\\tREAD_TOP\\tread message header only\\n"
      "\\t\\tREAD_DEL\\tread message and delete it from email box\\n"
      "\\t\\tREAD_TOP_DEL\\tread message header only and delete the message from email box\\n"
      "\\t\\tLIST\\t\\tshow scan listing\\n\\t\\tDEL\\t\\tdelete message from email box\\n"
      "\\tmess_id:\\n\\t\\t0 - all messages\\n\\t\\t>0 - message-number\\n");
  const std::string failed = "{\"op\":\"return\",\"value\":1}";
  std::vector<std::string> nullParam5 = ParamLines({9, 1, 1, 4});
  nullParam5[nullParam5.size() - 2] = "{\"op\":\"srv_paramlen\",\"param\":5,\"result\":0}";
  const Case cases[] = {
      {"doubled quote is one quote, sign",
       {"--json", "'127.0.0.1', 'o''brien', '''', 'READ', -1"},
       Joined(ParamLines({9, 7, 1, 4}), {kNegativeMsg, kErrorDone, failed})},
      {"plus sign, no spaces",
       {"--json", "'127.0.0.1','a','b','read',+7"},
       Joined(ParamLines({9, 1, 1, 4}), {noConnection, kErrorDone, failed})},
      {"NULL in any case",
       {"--json", "'127.0.0.1', 'a', 'b', 'read', nUlL"},
       Joined(nullParam5, {null, kErrorDone, failed})},
      {"several words are joined with a space",
       {"--json", "'127.0.0.1',", "'a", "b',", "'c',", "'read',", "-2"},
       Joined(ParamLines({9, 3, 1, 4}), {kNegativeMsg, kErrorDone, failed})},
      {"empty list",
       {"--json", ""},
       {"{\"op\":\"srv_rpcparams\",\"result\":0}", usage, kErrorDone, failed}},
      {"only spaces",
       {"--json", "  "},
       {"{\"op\":\"srv_rpcparams\",\"result\":0}", usage, kErrorDone, failed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = RunTool(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.out), c.lines);
  }
}

// Anything wrong with the tool's own command line: exit 2, a message on
// stderr, and the procedure is not called (nothing on stdout).
TEST(ExecUsageErrors, ExitTwoWithoutCallingTheProcedure) {
  struct Case {
    std::vector<std::string> args;
    std::string inMessage;
  };
  const Case cases[] = {
      {{"--json", "'127.0.0.1', 'alice"}, "unterminated"},
      {{"--json", "'127.0.0.1', alice, 'secret', 'read', 0"}, "alice"},
      {{"--json", "'a', 'b', 'c', 'read', 0,"}, "'read', 0,"},
      {{"--json", "'a' 'b'"}, "'a' 'b'"},
      {{"--json", "1.5"}, "1.5"},
      {{"--json", "2147483648"}, "2147483648"},
      {{"--json", "NULLS"}, "NULLS"},
      {{"--json", "--verbose", "0"}, "--verbose"},
      {{"--json", "--library"}, "--library"},
      {{"--json", "--library", "/nonexistent/libmailquarry.so", "''"},
       "/nonexistent/libmailquarry.so"},
      {{"--json", "--library", BuildPath("libopends60.so"), "''"}, "__GetXpVersion"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Outcome run = RunTool(c.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("mailquarry-exec: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.inMessage), std::string::npos) << run.err;
  }
}

TEST(ExecHelp, ExplainsTheCommandLine) {
  const Outcome run = RunTool({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  for (const char* needed :
       {"mailquarry-exec [--json] [--library PATH] PARAMS...", "'text'", "''", "NULL", "--json",
        "\\u00XX", "--library PATH", "Exit status", "2 for a usage error"}) {
    EXPECT_NE(run.out.find(needed), std::string::npos) << needed;
  }
}

// The parser itself: literal by literal.
TEST(ParseParams, ReadsTheLiterals) {
  struct Case {
    const char* text;
    std::vector<Param> params;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"'a'", {Param::Text("a")}},
      {"''", {Param::Text("")}},
      {"''''", {Param::Text("'")}},
      {"'it''s'", {Param::Text("it's")}},
      {"'a,b'", {Param::Text("a,b")}},
      {"'  x  '", {Param::Text("  x  ")}},
      {"'caf\xE9'", {Param::Text("caf\xE9")}},
      {"0", {Param::Int(0)}},
      {"-0", {Param::Int(0)}},
      {"+7", {Param::Int(7)}},
      {"-1", {Param::Int(-1)}},
      {"2147483647", {Param::Int(2147483647)}},
      {"-2147483648", {Param::Int(INT32_MIN)}},
      {"NULL", {Param::Null()}},
      {"null", {Param::Null()}},
      {"NuLl", {Param::Null()}},
      {"'a',1,NULL", {Param::Text("a"), Param::Int(1), Param::Null()}},
      {"  'a' ,\t-2 ,  null  ", {Param::Text("a"), Param::Int(-2), Param::Null()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<Param> params = {Param::Int(99)};
    std::string error;
    ASSERT_TRUE(host::ParseParams(c.text, &params, &error)) << error;
    ASSERT_EQ(params.size(), c.params.size());
    for (size_t i = 0; i < params.size(); ++i) {
      EXPECT_EQ(params[i].type, c.params[i].type) << i;
      EXPECT_EQ(params[i].length, c.params[i].length) << i;
      EXPECT_EQ(params[i].hasData, c.params[i].hasData) << i;
      EXPECT_EQ(params[i].bytes, c.params[i].bytes) << i;
    }
  }
  // The exact encodings the procedure relies on.
  std::vector<Param> params;
  std::string error;
  ASSERT_TRUE(host::ParseParams("'ab', -2, NULL", &params, &error));
  EXPECT_EQ(params[0].type, SRVVARCHAR);
  EXPECT_EQ(params[0].length, 2);
  EXPECT_EQ(params[1].type, SRVINTN);
  EXPECT_EQ(params[1].length, 4);
  EXPECT_EQ(params[1].bytes, std::string("\xFE\xFF\xFF\xFF", 4));
  EXPECT_EQ(params[2].type, SRVINTN);
  EXPECT_EQ(params[2].length, 0);
  EXPECT_FALSE(params[2].hasData);
}

TEST(ParseParams, RefusesWhatDoesNotParse) {
  for (const char* text :
       {"'abc", "'a''", "abc", "1,", ",1", "1 2", "'a' 'b'", "1x", "--1", "-", "+", "1.5", "0x10",
        "2147483648", "-2147483649", "NUL", "NULLX", "'a',,1", "\"a\""}) {
    SCOPED_TRACE(text);
    std::vector<Param> params;
    std::string error;
    EXPECT_FALSE(host::ParseParams(text, &params, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
