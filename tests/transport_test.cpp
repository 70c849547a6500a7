// CTcpSocket: connecting by address and by name, each failure's fixed text,
// no socket left open after a failed construction, the guards of Send and
// Receive, and waits that end.
#include "pop3/tcp_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/fake_pop3_server.h"

namespace {

using std::chrono::seconds;

constexpr int kPort = 110;
// The shipped limit, which nothing that goes well waits for; the tests of
// waits that must end use the short one.
constexpr uint32_t kWaitMs = 20000;
constexpr uint32_t kShortWaitMs = 300;
const std::string kGreeting = "+OK transport test\r\n";

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

FakePop3Options Greeting() {
  FakePop3Options options;
  options.greeting = kGreeting;
  return options;
}

// Everything the server sends until it has sent `size` bytes, closes or the
// wait runs out.
std::string ReceiveUpTo(CTcpSocket& socket, size_t size) {
  std::string received;
  char buffer[512];
  while (received.size() < size) {
    const int got = socket.Receive(buffer, sizeof buffer);
    if (got < 1) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  return received;
}

TEST(TransportTest, ConnectsToDottedAddressAndToName) {
  const struct {
    const char* host;
    uint16_t port;  // 0: a free one
  } cases[] = {{"127.0.0.1", kPort}, {"localhost", kPort}, {"127.0.0.1", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
    FakePop3Options options = Greeting();
    options.port = c.port;
    FakePop3Server server(options);
    CTcpSocket socket(c.host, server.Port(), kWaitMs);
    EXPECT_EQ(ReceiveUpTo(socket, kGreeting.size()), kGreeting);
    EXPECT_EQ(server.Connections(), 1);
  }
}

// Each failure throws its fixed text, and leaves no descriptor open.
TEST(TransportTest, FailuresThrowTheirTextAndLeaveNoSocket) {
  struct Case {
    const char* name;
    const char* host;
    const char* text;
  };
  const Case cases[] = {
      {"null host", nullptr, "Invalid parameters"},
      {"name that does not resolve", "no-such-host.invalid", "Unable to solve this address"},
      {"empty host goes to the resolver", "", "Unable to solve this address"},
      // The all-ones address reads as "not an address", so it is resolved
      // like a name; it resolves to itself, which no TCP connection can reach.
      {"all-ones address", "255.255.255.255", "connect() failed"},
      {"nothing listening, by address", "127.0.0.1", "connect() failed"},
      {"nothing listening, by name", "localhost", "connect() failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = OpenDescriptors();
    std::string thrown = "(nothing thrown)";
    try {
      CTcpSocket socket(c.host, kPort, kShortWaitMs);
    } catch (const CSocketException& error) {
      thrown = error.Text();
    }
    EXPECT_EQ(thrown, c.text);
    EXPECT_EQ(OpenDescriptors(), before);
  }
}

// A server whose accept queue is full never completes the handshake; the
// connect gives up after the wait limit.
TEST(TransportTest, ConnectWaitIsBounded) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  // This one fills the queue; nothing accepts it.
  CTcpSocket first("127.0.0.1", kPort, kShortWaitMs);

  const int before = OpenDescriptors();
  std::string thrown = "(nothing thrown)";
  FinishWithin(seconds(10), "connect to a full queue", [&] {
    try {
      CTcpSocket second("127.0.0.1", kPort, kShortWaitMs);
    } catch (const CSocketException& error) {
      thrown = error.Text();
    }
  });
  EXPECT_EQ(thrown, "connect() failed");
  EXPECT_EQ(OpenDescriptors(), before);
  close(listener);
}

TEST(TransportTest, NullOrEmptyBuffersTouchNothing) {
  FakePop3Server server(Greeting());
  CTcpSocket socket("127.0.0.1", kPort, kWaitMs);
  ASSERT_EQ(ReceiveUpTo(socket, kGreeting.size()), kGreeting);

  char buffer[16];
  EXPECT_EQ(socket.Send(nullptr, 6), -1);
  EXPECT_EQ(socket.Send("NOOP\r\n", 0), -1);
  EXPECT_EQ(socket.Receive(nullptr, 16), -1);
  EXPECT_EQ(socket.Receive(buffer, 0), -1);
  // The guarded calls sent nothing: the server's first line is this one.
  EXPECT_EQ(socket.Send("NOOP\r\n", 6), 6);
  const std::string refusal = "-ERR not logged in\r\n";
  EXPECT_EQ(ReceiveUpTo(socket, refusal.size()), refusal);
  EXPECT_EQ(server.Commands(), std::vector<std::string>{"NOOP"});
}

TEST(TransportTest, ReceiveAfterTheServerClosedGivesZeroEachTime) {
  FakePop3Options options = Greeting();
  options.faults = {FakePop3Fault::CloseAt("", FakePop3Fault::kWhole)};
  FakePop3Server server(options);
  CTcpSocket socket("127.0.0.1", kPort, kWaitMs);
  ASSERT_EQ(ReceiveUpTo(socket, kGreeting.size()), kGreeting);
  char buffer[16];
  for (int i = 0; i < 3; ++i) EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0) << i;
}

TEST(TransportTest, ReceiveFromASilentServerEndsAfterTheWait) {
  FakePop3Options options = Greeting();
  options.faults = {FakePop3Fault::SilentAt("")};
  FakePop3Server server(options);
  CTcpSocket socket("127.0.0.1", kPort, kShortWaitMs);
  char buffer[16];
  int got = 0;
  FinishWithin(seconds(10), "receive from a silent server",
               [&] { got = socket.Receive(buffer, sizeof buffer); });
  EXPECT_EQ(got, -1);
}

}  // namespace
