// Hostile and odd input through the loaded library, each call against a fake
// server of its own on a loopback address of its own: answers that never
// end, status lines of megabytes, the largest message number, parameters at
// every length edge, bytes of 0x80 and above, line breaks in the
// credentials, a host name of 511 bytes. Every call must also pass the
// checks every call must pass (CallProblems).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/fake_pop3_server.h"
#include "tests/support/procedure.h"
#include "tests/support/reliability.h"

namespace {

using testing_support::CallParams;
using testing_support::CallRecord;

const char kLoginFailed[] = "Can not establish connection to POP3 server.";

// A loopback address of its own for each server of this binary.
std::string NextAddress() {
  static int next = 0;
  return testing_support::LoopbackAddress(next++);
}

void ExpectCommonChecks(const CallRecord& record, const std::string& command,
                        const FakePop3Server* server) {
  for (const std::string& problem : testing_support::CallProblems(record, command, server)) {
    ADD_FAILURE() << problem;
  }
}

// --- Memory --------------------------------------------------------------------

// The process's peak resident size in KiB (VmHWM), and a reset of that peak
// to the present size, so that a call's own peak can be read.
long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  return static_cast<bool>(clear.flush());
}

// A generous bound on what one call may add to the process's peak: a call
// keeps at most 8000 bytes of a message, and the bound only has to tell that
// from a call that keeps what the server sends.
constexpr long kMostGrowthKiB = 64 * 1024;

const char kFiller[] = "this body line goes on and on, and the server never stops sending it\r\n";

std::string FillerText(size_t length) {
  std::string text;
  while (text.size() < length) text += kFiller;
  return text.substr(0, length);
}

// An answer that goes on for `forMs`; then `tail` and `then`.
FakePop3Fault Flood(const std::string& at, const std::string& head, const std::string& filler,
                    unsigned forMs, const std::string& tail, FakePop3Fault::Then then) {
  FakePop3Fault fault = FakePop3Fault::Canned(at, head);
  fault.filler = filler;
  fault.fillForMs = forMs;
  fault.tail = tail;
  fault.then = then;
  return fault;
}

TEST(HostileInput, EndlessAnswersKeepMemoryFlatAndEnd) {
  using Then = FakePop3Fault::Then;
  const std::string xs(1024, 'x');
  const struct {
    const char* name;
    std::string command;
    FakePop3Fault fault;
    bool shortWait;
    std::vector<std::string> requests;  // after USER and PASS
    std::string message;                // the error message, or none
    std::vector<int32_t> rows;
    int32_t count;
    std::vector<int> deleted;
  } cases[] = {
      {"endless body, then the server closes", "READ",
       Flood("RETR 1", "+OK\r\n", kFiller, 2000, "", Then::kClose), false, {"RETR 1"}, "", {}, 0,
       {}},
      {"endless body, then silence: the idle limit ends it", "READ_DEL",
       Flood("RETR 1", "+OK\r\n", kFiller, 2000, "", Then::kStaySilent), true,
       {"RETR 1", "QUIT "}, "", {}, 0, {}},
      {"a huge message, then its end marker", "READ_DEL",
       Flood("RETR 1", "+OK\r\n", kFiller, 2000, ".\r\n", Then::kGoOn), false,
       {"RETR 1", "DELE 1", "QUIT "}, "", {1}, 1, {1}},
      // The server is still sending when QUIT arrives, and never reads it.
      {"status line of megabytes without CR LF", "READ_DEL",
       Flood("RETR 1", "+OK ", xs, 2000, "", Then::kClose), false, {"RETR 1"}, "", {}, 0, {}},
      {"LIST answer of megabytes without CR LF", "LIST",
       Flood("LIST 1", "+OK 1 ", xs, 2000, "", Then::kClose), false, {"LIST 1"}, "", {}, 0, {}},
      {"greeting of megabytes without CR LF", "READ", Flood("", "+OK ", xs, 2000, "", Then::kClose),
       false, {}, kLoginFailed, {}, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options;
    options.address = NextAddress();
    options.messages = {"Subject: small\r\n\r\nThe mailbox's only message.\r\n"};
    options.faults = {c.fault};
    FakePop3Server server(options);
    const host::Library& library =
        c.shortWait ? testing_support::ShortWaitProcedure() : testing_support::Procedure();
    const bool reset = ResetPeak();
    const long before = PeakKiB();
    const CallRecord record = testing_support::RunCall(
        library, CallParams(options.address, "alice", "secret", c.command, 1), &server);
    const long after = PeakKiB();
    std::printf("%-50s peak RSS %ld KiB before the call, %ld KiB after%s\n", c.name, before, after,
                reset ? "" : " (peak not reset: whole process)");
    EXPECT_LT(after - before, kMostGrowthKiB);

    ExpectCommonChecks(record, c.command, &server);
    std::vector<std::string> requests;
    for (const std::string& line : server.Commands()) {
      if (line.compare(0, 5, "USER ") != 0 && line.compare(0, 5, "PASS ") != 0) {
        requests.push_back(line);
      }
    }
    EXPECT_EQ(requests, c.requests);
    std::vector<int32_t> ids;
    for (const host::Row& row : record.rows) {
      ids.push_back(row.id);
      // Only the first 8000 bytes of the huge message are kept.
      EXPECT_EQ(row.message.size(), 8000u);
      EXPECT_TRUE(row.message == FillerText(8000));
    }
    EXPECT_EQ(ids, c.rows);
    ASSERT_EQ(record.dones.size(), 1u);
    if (c.message.empty()) {
      EXPECT_TRUE(record.messages.empty());
      EXPECT_EQ(record.dones[0].count, c.count);
    } else {
      ASSERT_EQ(record.messages.size(), 1u);
      EXPECT_EQ(record.messages[0].text, c.message);
    }
    EXPECT_EQ(server.Deleted(), c.deleted);
  }
}

// --- The largest message number ----------------------------------------------

TEST(HostileInput, LargestMessageNumberGoesOutWhole) {
  const int32_t kLargest = 2147483647;
  const struct {
    std::string command;
    bool canned;  // the server answers the request positively
    std::vector<std::string> requests;
    std::vector<int32_t> rows;
    int32_t count;
  } cases[] = {
      {"READ", false, {"RETR 2147483647"}, {}, 0},
      {"READ_TOP", false, {"TOP 2147483647 0"}, {}, 0},
      {"READ_DEL", false, {"RETR 2147483647", "QUIT "}, {}, 0},
      {"LIST", false, {"LIST 2147483647"}, {}, 0},
      {"DEL", false, {"DELE 2147483647", "QUIT "}, {}, 0},
      // The row's id is the number asked for.
      {"READ", true, {"RETR 2147483647"}, {kLargest}, 1},
      {"READ_TOP_DEL", true, {"TOP 2147483647 0", "DELE 2147483647", "QUIT "}, {kLargest}, 1},
      {"LIST", true, {"LIST 2147483647"}, {kLargest}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + (c.canned ? ", answered" : ", refused"));
    FakePop3Options options;
    options.address = NextAddress();
    options.messages = {"Subject: one\r\n\r\nbody\r\n"};
    if (c.canned) {
      options.faults = {FakePop3Fault::Canned("RETR 2147483647", "+OK\r\nbody\r\n.\r\n"),
                        FakePop3Fault::Canned("TOP 2147483647", "+OK\r\nSubject: x\r\n.\r\n"),
                        FakePop3Fault::Canned("LIST 2147483647", "+OK 2147483647 6\r\n"),
                        FakePop3Fault::Canned("DELE 2147483647", "+OK\r\n")};
    }
    FakePop3Server server(options);
    const CallRecord record = testing_support::RunCall(
        testing_support::Procedure(), CallParams(options.address, "alice", "secret", c.command, kLargest),
        &server);
    ExpectCommonChecks(record, c.command, &server);
    const std::vector<std::string> lines = server.Commands();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), c.requests);
    std::vector<int32_t> ids;
    for (const host::Row& row : record.rows) ids.push_back(row.id);
    EXPECT_EQ(ids, c.rows);
    ASSERT_EQ(record.dones.size(), 1u);
    EXPECT_EQ(record.dones[0].count, c.count);
  }
}

// --- Parameters ----------------------------------------------------------------------

std::string AllHighBytes() {
  std::string bytes;
  for (int byte = 0x80; byte <= 0xFF; ++byte) bytes += static_cast<char>(byte);
  return bytes;
}

// Each case changes one parameter of a call that otherwise reads message 1
// from a fake server; the server must see the login lines byte for byte, or
// no connection at all when the intake refuses the call.
TEST(HostileInput, ParametersAtTheirEdges) {
  const std::string kWrongCommand =
      "Parameter 4 is wrong.\nUse anyone from the list: READ,READ_TOP,READ_DEL,READ_TOP_DEL,LIST,DEL";
  enum Which { kServer, kUser, kPassword, kCommand };
  const struct {
    const char* name;
    Which which;
    std::string value;
    std::string message;  // empty: the call reads the message
  } cases[] = {
      {"server of 0 bytes", kServer, "", "Parameter 1 can not be empty."},
      // "1" is the address 0.0.0.1, where nothing listens.
      {"server of 1 byte", kServer, "1", kLoginFailed},
      {"server name of 511 bytes", kServer, std::string(511, 'h'), kLoginFailed},
      {"server name of 511 bytes in labels", kServer,
       [] {
         std::string name;
         while (name.size() < 511) name += "label.";
         return name.substr(0, 511);
       }(),
       kLoginFailed},
      {"server of 512 bytes", kServer, std::string(512, 'h'), "Parameter too long."},
      {"server with bytes of 0x80 and above", kServer, "h\xf6st\x80\xff.example", kLoginFailed},
      {"user of 0 bytes", kUser, "", "Parameter 2 can not be empty."},
      {"user of 1 byte", kUser, "u", ""},
      {"user of 511 bytes", kUser, std::string(511, 'u'), ""},
      {"user of 512 bytes", kUser, std::string(512, 'u'), "Parameter too long."},
      {"user of every byte from 0x80", kUser, AllHighBytes(), ""},
      {"user with CR LF and a command", kUser, "alice\r\nDELE 1", "Parameter 2 can not contain line breaks."},
      {"password of 0 bytes", kPassword, "", "Parameter 3 can not be empty."},
      {"password of 1 byte", kPassword, "p", ""},
      {"password of 511 bytes", kPassword, std::string(511, 'p'), ""},
      {"password of 512 bytes", kPassword, std::string(512, 'p'), "Parameter too long."},
      {"password of every byte from 0x80", kPassword, AllHighBytes(), ""},
      {"password with CR LF", kPassword, "sec\r\nret", "Parameter 3 can not contain line breaks."},
      {"password ending in LF", kPassword, "secret\n", "Parameter 3 can not contain line breaks."},
      {"password with a lone CR", kPassword, "sec\rret", "Parameter 3 can not contain line breaks."},
      {"command of 0 bytes", kCommand, "", kWrongCommand},
      {"command of 1 byte", kCommand, "r", kWrongCommand},
      {"command of 511 bytes", kCommand, "READ" + std::string(507, ' '), kWrongCommand},
      {"command of 512 bytes", kCommand, std::string(512, 'R'), "Parameter too long."},
      {"command with bytes of 0x80 and above", kCommand, "read\xe9", kWrongCommand},
      {"command of bytes of 0x80 and above only", kCommand, AllHighBytes(), kWrongCommand},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePop3Options options;
    options.address = NextAddress();
    options.messages = {"Subject: one\r\n\r\nbody\r\n"};
    FakePop3Server server(options);
    std::string values[] = {options.address, "alice", "secret", "read"};
    values[c.which] = c.value;
    const CallRecord record = testing_support::RunCall(
        testing_support::Procedure(), CallParams(values[0], values[1], values[2], values[3], 1),
        &server);
    ExpectCommonChecks(record, "READ", &server);
    if (c.message.empty()) {
      EXPECT_EQ(record.returned, 0);
      const std::vector<FakePop3Server::LoggedLine> log = server.Log();
      ASSERT_GE(log.size(), 2u);
      EXPECT_TRUE(log[0].bytes == "USER " + values[1] + "\r\n");
      EXPECT_TRUE(log[1].bytes == "PASS " + values[2] + "\r\n");
      ASSERT_EQ(record.rows.size(), 1u);
      EXPECT_EQ(record.rows[0].message, "Subject: one\r\n\r\nbody");
      continue;
    }
    EXPECT_EQ(record.returned, 1);
    ASSERT_EQ(record.messages.size(), 1u);
    EXPECT_EQ(record.messages[0].text, c.message);
    EXPECT_EQ(record.messages[0].line, 304);
    // A call that the intake refuses never connects; the others could not.
    EXPECT_EQ(server.Connections(), 0);
  }
}

}  // namespace
