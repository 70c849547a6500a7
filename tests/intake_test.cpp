// The procedure's intake, through the loaded library as the database server
// calls it: which parameters are asked for and in which order, and the one
// message and done status each wrong call gets.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/call.h"
#include "tests/support/fake_pop3_server.h"
#include "tests/support/procedure.h"

namespace {

using host::Param;
using testing_support::Procedure;

const std::string kUsage =
    "Usage:\n"
    "exec master..mailquarry 'server', 'user', 'password', 'command', message_id\n"
    "\tcommand:\n"
    "\t\tREAD\t\tread message\n"
    "\t\tREAD_TOP\tread message header only\n"
    "\t\tREAD_DEL\tread message and delete it from email box\n"
    "\t\tREAD_TOP_DEL\tread message header only and delete the message from email box\n"
    "\t\tLIST\t\tshow scan listing\n"
    "\t\tDEL\t\tdelete message from email box\n"
    "\tmess_id:\n"
    "\t\t0 - all messages\n"
    "\t\t>0 - message-number\n";
const std::string kWrongType = "Parameter data type is wrong.";
const std::string kTooLong = "Parameter too long.";
const std::string kEmpty1 = "Parameter 1 can not be empty.";
const std::string kEmpty2 = "Parameter 2 can not be empty.";
const std::string kEmpty3 = "Parameter 3 can not be empty.";
const std::string kBreak2 = "Parameter 2 can not contain line breaks.";
const std::string kBreak3 = "Parameter 3 can not contain line breaks.";
const std::string kWrongCommand =
    "Parameter 4 is wrong.\nUse anyone from the list: READ,READ_TOP,READ_DEL,READ_TOP_DEL,LIST,DEL";
const std::string kNegative = "Parameter 5 can not be negative.";
const std::string kNull = "Parameter 5 can not be NULL.";
// Every check passed and the call went on to log in; nothing listens on
// port 110 in the test's own network namespace.
const std::string kNoConnection = "Can not establish connection to POP3 server.";

// The parameter operations of a call that read parameters 1 to n whole.
std::string ReadThrough(int n) {
  std::string ops = "count";
  for (int i = 1; i <= n; ++i) {
    const std::string k = std::to_string(i);
    ops += " type" + k + " len" + k + " data" + k;
  }
  return ops;
}
const std::string kAllFive = ReadThrough(5);

// The call's operations in a compact form: "count type1 len1 data1 ... msg done".
std::string Operations(const host::Call& call) {
  static const std::map<std::string, std::string> kShort = {
      {"srv_rpcparams", "count"}, {"srv_paramtype", "type"}, {"srv_paramlen", "len"},
      {"srv_paramdata", "data"},  {"srv_sendmsg", "msg"},    {"srv_senddone", "done"}};
  std::string ops;
  for (const host::Event& event : call.Transcript()) {
    const auto known = kShort.find(event.op);
    std::string op = known != kShort.end() ? known->second : event.op;
    if (event.Has("param")) op += std::to_string(event.Number("param"));
    ops += (ops.empty() ? "" : " ") + op;
  }
  return ops;
}

std::string LittleEndian(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return bytes;
}

Param Text(const std::string& text) { return Param::Text(text); }

// A call whose every parameter is right, with parameter n replaced.
std::vector<Param> Good() {
  return {Text("127.0.0.1"), Text("alice"), Text("secret"), Text("READ"), Param::Int(0)};
}
std::vector<Param> With(std::vector<std::pair<int, Param>> changes) {
  std::vector<Param> params = Good();
  for (auto& change : changes) params[static_cast<size_t>(change.first - 1)] = change.second;
  return params;
}

// The one failure report every wrong call ends with: message 20001 at line
// 304 with the text, then the error done status, and the failure code.
void ExpectReported(const host::Call& call, int returned, const std::string& text) {
  EXPECT_EQ(returned, 1);
  ASSERT_EQ(call.Messages().size(), 1u);
  const host::Message& message = call.Messages()[0];
  EXPECT_EQ(message.text, text);
  EXPECT_EQ(message.type, 2);
  EXPECT_EQ(message.number, 20001);
  EXPECT_EQ(message.msgClass, 1);
  EXPECT_EQ(message.state, 1);
  EXPECT_EQ(message.line, 304);
  ASSERT_GE(call.Transcript().size(), 2u);
  const host::Event& sent = call.Transcript()[call.Transcript().size() - 2];
  ASSERT_EQ(sent.op, "srv_sendmsg");
  EXPECT_EQ(sent.Number("procnamelen"), 0);
  EXPECT_EQ(sent.Number("textlen"), -1);
  ASSERT_EQ(call.Dones().size(), 1u);
  EXPECT_EQ(call.Dones()[0].status, 3);
  EXPECT_EQ(call.Dones()[0].info, 0);
  EXPECT_EQ(call.Dones()[0].count, 0);
  EXPECT_TRUE(call.Rows().empty());
  EXPECT_TRUE(call.Columns().empty());
}

struct IntakeCase {
  std::string name;
  std::vector<Param> params;
  std::string asked;  // the parameter operations, in order
  std::string message;
};

void PrintTo(const IntakeCase& c, std::ostream* out) { *out << c.name; }

std::vector<IntakeCase> Cases() {
  const std::string s511(511, 's');
  const std::string s512(512, 's');
  return {
      // How many parameters: none is looked at unless there are five.
      {"NoParameters", {}, "count", kUsage},
      {"FourParameters",
       {Text("127.0.0.1"), Text("alice"), Text("secret"), Text("READ")},
       "count",
       kUsage},
      {"SixParameters",
       {Text("127.0.0.1"), Text("alice"), Text("secret"), Text("READ"), Param::Int(0),
        Param::Int(0)},
       "count",
       kUsage},

      // Types. A text parameter's type and length are both asked before
      // either is judged; the first wrong one ends the reading.
      {"ServerAsInteger", With({{1, Param::Int(5)}}), "count type1 len1", kWrongType},
      {"UserAsNull", With({{2, Param::Null()}}), ReadThrough(1) + " type2 len2", kWrongType},
      {"PasswordAsInt4", With({{3, Param::Raw(SRVINT4, 4, LittleEndian(7))}}),
       ReadThrough(2) + " type3 len3", kWrongType},
      {"CommandAsBigVarchar", With({{4, Param::Text("READ", SRVBIGVARCHAR)}}),
       ReadThrough(3) + " type4 len4", kWrongType},
      {"AllTextsAsChar",
       With({{1, Param::Text("127.0.0.1", SRVCHAR)},
             {2, Param::Text("alice", SRVCHAR)},
             {3, Param::Text("secret", SRVCHAR)},
             {4, Param::Text("READ", SRVCHAR)}}),
       kAllFive, kNoConnection},
      {"MessageIdAsText", With({{5, Text("5")}}), ReadThrough(4) + " type5", kWrongType},
      {"MessageIdAsInt4", With({{5, Param::Raw(SRVINT4, 4, LittleEndian(5))}}),
       ReadThrough(4) + " type5", kWrongType},

      // Lengths: 511 bytes is a whole value, 512 is too long, and a wrong
      // type is reported as such whatever its length.
      {"AllTextsOf511Bytes",
       {Text(s511), Text(s511), Text(s511), Text(std::string(511, 'R')), Param::Int(0)},
       kAllFive,
       kWrongCommand},
      {"ServerOf512Bytes", With({{1, Text(s512)}}), "count type1 len1", kTooLong},
      {"PasswordOf512Bytes", With({{3, Text(s512)}}), ReadThrough(2) + " type3 len3", kTooLong},
      {"CommandOf8000Bytes", With({{4, Text(std::string(8000, 'R'))}}),
       ReadThrough(3) + " type4 len4", kTooLong},
      {"UserOf600BytesAndWrongType", With({{2, Param::Raw(SRVINT4, 600, std::string(600, 'u'))}}),
       ReadThrough(1) + " type2 len2", kWrongType},
      {"NegativeLengthReadsAsEmpty", With({{1, Param::Raw(SRVVARCHAR, -1, "127.0.0.1")}}), kAllFive,
       kEmpty1},
      {"TextWithoutDataReadsAsEmpty", With({{2, Param::NoData(SRVVARCHAR, 5)}}), kAllFive, kEmpty2},

      // All five are read before any is judged.
      {"EmptyServerAndMessageIdAsText", With({{1, Text("")}, {5, Text("0")}}),
       ReadThrough(4) + " type5", kWrongType},
      {"EmptyServerAndNullMessageId", With({{1, Text("")}, {5, Param::Null()}}), kAllFive, kNull},
      {"EmptyServer", With({{1, Text("")}}), kAllFive, kEmpty1},
      {"EmptyUser", With({{2, Text("")}}), kAllFive, kEmpty2},
      {"EmptyPassword", With({{3, Text("")}}), kAllFive, kEmpty3},
      {"EmptyUserAndPassword", With({{2, Text("")}, {3, Text("")}}), kAllFive, kEmpty2},
      {"EmptyPasswordAndNegative", With({{3, Text("")}, {5, Param::Int(-1)}}), kAllFive, kEmpty3},
      {"EmptyServerAndWrongCommand", With({{1, Text("")}, {4, Text("NOPE")}}), kAllFive, kEmpty1},

      // A value that begins with a space reads as empty; other spaces stay.
      {"ServerBeginsWithSpace", With({{1, Text(" 127.0.0.1")}}), kAllFive, kEmpty1},
      {"UserBeginsWithSpace", With({{2, Text(" alice")}}), kAllFive, kEmpty2},
      {"PasswordIsOneSpace", With({{3, Text(" ")}}), kAllFive, kEmpty3},
      {"CommandBeginsWithSpace", With({{4, Text(" READ")}}), kAllFive, kWrongCommand},
      {"CommandEndsWithSpace", With({{4, Text("READ ")}}), kAllFive, kWrongCommand},
      {"UserBeginsWithTab", With({{2, Text("\talice")}}), kAllFive, kNoConnection},

      // A zero byte ends the value.
      {"CommandCutAtZero", With({{4, Text(std::string("READ\0junk", 9))}}), kAllFive,
       kNoConnection},
      {"CommandCutInside", With({{4, Text(std::string("RE\0AD", 5))}}), kAllFive, kWrongCommand},
      {"ServerBeginsWithZero", With({{1, Text(std::string(1, '\0') + "127.0.0.1")}}), kAllFive,
       kEmpty1},
      {"PasswordBeginsWithZero", With({{3, Text(std::string("\0secret", 7))}}), kAllFive, kEmpty3},

      // The command in any case; nothing but the six keywords.
      {"CommandReadTopLower", With({{4, Text("read_top")}}), kAllFive, kNoConnection},
      {"CommandReadDelMixed", With({{4, Text("Read_Del")}}), kAllFive, kNoConnection},
      {"CommandListLower", With({{4, Text("list")}}), kAllFive, kNoConnection},
      {"CommandReadAll", With({{4, Text("READ_ALL")}}), kAllFive, kWrongCommand},
      {"CommandDelete", With({{4, Text("DELETE")}}), kAllFive, kWrongCommand},
      {"CommandReadTopDe", With({{4, Text("READ_TOP_DE")}}), kAllFive, kWrongCommand},
      {"CommandEmpty", With({{4, Text("")}}), kAllFive, kWrongCommand},
      {"CommandWithLineBreak", With({{4, Text("READ\r\n")}}), kAllFive, kWrongCommand},

      // The message number: four little-endian bytes, 0 and up pass.
      {"MessageIdMinusOne", With({{5, Param::Int(-1)}}), kAllFive, kNegative},
      {"MessageIdLowest", With({{5, Param::Int(INT32_MIN)}}), kAllFive, kNegative},
      {"MessageIdZero", With({{5, Param::Int(0)}}), kAllFive, kNoConnection},
      {"MessageIdSeven", With({{5, Param::Int(7)}}), kAllFive, kNoConnection},
      {"MessageIdHighByteLast", With({{5, Param::Raw(SRVINTN, 4, std::string("\0\0\0\x80", 4))}}),
       kAllFive, kNegative},
      {"MessageIdHighByteFirst", With({{5, Param::Raw(SRVINTN, 4, std::string("\x80\0\0\0", 4))}}),
       kAllFive, kNoConnection},

      // A line break in the user name or password would become a POP3
      // command of its own; it is refused after the empty checks and before
      // the command check.
      {"UserBeginsWithCr", With({{2, Text("\ralice")}}), kAllFive, kBreak2},
      {"UserWithLfInside", With({{2, Text("al\nice")}}), kAllFive, kBreak2},
      {"UserEndsWithCrLf", With({{2, Text("alice\r\n")}}), kAllFive, kBreak2},
      {"PasswordBeginsWithLf", With({{3, Text("\nsecret")}}), kAllFive, kBreak3},
      {"PasswordWithCrInside", With({{3, Text("sec\rret")}}), kAllFive, kBreak3},
      {"PasswordEndsWithCr", With({{3, Text("secret\r")}}), kAllFive, kBreak3},
      {"BreaksInUserAndPassword", With({{2, Text("a\nb")}, {3, Text("c\nd")}}), kAllFive, kBreak2},
      {"BreakInUserAndEmptyPassword", With({{2, Text("\r")}, {3, Text("")}}), kAllFive, kEmpty3},
      {"BreakInUserAndWrongCommand", With({{2, Text("a\rb")}, {4, Text("NOPE")}}), kAllFive,
       kBreak2},
      {"BreakInPasswordAndNegative", With({{3, Text("a\nb")}, {5, Param::Int(-1)}}), kAllFive,
       kBreak3},
      {"BreakInServerIsNotJudged", With({{1, Text("mail\r\nhost")}, {4, Text("NOPE")}}), kAllFive,
       kWrongCommand},

      // A message number without four bytes of data.
      {"MessageIdNull", With({{5, Param::Null()}}), kAllFive, kNull},
      {"MessageIdLengthZero", With({{5, Param::Raw(SRVINTN, 0, "")}}), kAllFive, kNull},
      {"MessageIdWithoutData", With({{5, Param::NoData(SRVINTN, 4)}}), kAllFive, kNull},
      {"MessageIdOfTwoBytes", With({{5, Param::Raw(SRVINTN, 2, std::string("\x05\0", 2))}}),
       kAllFive, kWrongType},
      {"MessageIdOfEightBytes",
       With({{5, Param::Raw(SRVINTN, 8, std::string("\x05\0\0\0\0\0\0\0", 8))}}), kAllFive,
       kWrongType},

      // Bytes of 0x80 and up are ordinary bytes: 0xA0 is no space, 0x85 no
      // line break, and the command is not a keyword with them.
      {"HighBytesInServerUserPassword",
       With({{1, Text("\xA0m\xE9il")},
             {2, Text("\xA0\x85\xFF")},
             {3, Text("\x8D\x8A")},
             {4, Text("NOPE")}}),
       kAllFive, kWrongCommand},
      {"HighByteAfterCommand", With({{4, Text("READ\xC9")}}), kAllFive, kWrongCommand},
      {"HighByteBeforeCommand", With({{4, Text("\xA0READ")}}), kAllFive, kWrongCommand},
  };
}

class IntakeTest : public testing::TestWithParam<IntakeCase> {};

TEST_P(IntakeTest, AsksInOrderAndReportsTheFirstFailure) {
  const IntakeCase& c = GetParam();
  host::Call call(c.params);
  const int returned = Procedure().Execute(call);
  EXPECT_EQ(Operations(call), c.asked + " msg done");
  ExpectReported(call, returned, c.message);
}

INSTANTIATE_TEST_SUITE_P(Cases, IntakeTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<IntakeCase>& info) {
                           return info.param.name;
                         });

// What the intake keeps is what reaches the server: the whole value, cut
// only at a zero byte, its case and every other byte unchanged.
TEST(IntakeValues, ReachTheServerUnchanged) {
  struct Case {
    const char* name;
    std::string server;
    std::string user;
    std::string password;
  };
  const Case cases[] = {
      {"511 bytes each", "127.0.0.1", std::string(510, 'u') + "U", std::string(510, 'p') + "P"},
      {"high bytes", "127.0.0.1", "\xA0j\xF6rg\x85", "\xE9t\xE9\xFF"},
      {"case and inner spaces kept", "127.0.0.1", "Alice Smith ", "Se Cret  "},
      {"cut at a zero byte", std::string("127.0.0.1\0junk", 14), std::string("bob\0by", 6),
       std::string("pw\0\r\n", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string user = c.user.substr(0, c.user.find('\0'));
    const std::string password = c.password.substr(0, c.password.find('\0'));
    FakePop3Options options;
    options.refusePassword = true;
    FakePop3Server server(options);
    host::Call call({Text(c.server), Text(c.user), Text(c.password), Text("read"), Param::Int(0)});
    const int returned = Procedure().Execute(call);
    ExpectReported(call, returned, kNoConnection);
    const std::vector<std::string> expected = {"USER " + user + "\r\n",
                                               "PASS " + password + "\r\n"};
    ASSERT_TRUE(server.WaitForEnded(1));
    std::vector<std::string> lines;
    for (const FakePop3Server::LoggedLine& line : server.Log()) lines.push_back(line.bytes);
    EXPECT_EQ(lines, expected);
  }
}

// Calls on different threads each see only their own parameters and get
// only their own message.
TEST(IntakeThreads, CallsShareNothing) {
  const std::vector<std::pair<std::vector<Param>, std::string>> calls = {
      {With({{1, Text("")}}), kEmpty1},
      {With({{4, Text("NOPE")}}), kWrongCommand},
      {With({{5, Param::Int(-3)}}), kNegative},
      {{}, kUsage},
  };
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < calls.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        host::Call call(calls[t].first);
        const int returned = Procedure().Execute(call);
        if (returned != 1 || call.Messages().size() != 1 ||
            call.Messages()[0].text != calls[t].second) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
