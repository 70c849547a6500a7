// A scriptable POP3 server for tests, run in-process on a thread of its own.
// It listens on 127.0.0.1 or another loopback address (port 110 unless told
// otherwise), serves one connection at a time and any number in sequence,
// logs every command line exactly as it arrived, and serves a mailbox the way
// RFC 1939 describes: multi-line answers dot-stuffed on the wire, deletions
// marked by DELE and carried out only when QUIT arrives. Faults can be
// scripted at the greeting or at any command: canned bytes instead of the
// answer, an answer cut off after K bytes, a close or silence there, an
// endless body.
//
// Each server owns its thread, sockets and state and shares nothing, so
// several can run at once on different ports or addresses.
#ifndef MAILQUARRY_TESTS_SUPPORT_FAKE_POP3_SERVER_H
#define MAILQUARRY_TESTS_SUPPORT_FAKE_POP3_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// What the server does at one point of a conversation instead of, or on top
// of, its normal answer.
struct FakePop3Fault {
  static constexpr size_t kWhole = static_cast<size_t>(-1);
  enum class Then {
    kGoOn,        // carry on with the conversation
    kClose,       // close the connection
    kStaySilent,  // send nothing more on this connection (commands are still logged)
  };

  // Where it applies: "" is the greeting; otherwise a command line without
  // its CR LF, matched whole or as a prefix ending before a blank: "RETR"
  // matches every RETR, "RETR 2" matches "RETR 2" but not "RETR 20", and
  // "TOP 2" matches "TOP 2 0".
  std::string at;
  // Only on this connection (counted from 1); 0 means on every connection.
  int connection = 0;
  // Sent instead of the normal answer when `replace` is set.
  bool replace = false;
  std::string bytes;
  // After those bytes, `filler` is sent again and again for this long.
  std::string filler;
  unsigned fillForMs = 0;
  // Sent once the filler has stopped, e.g. an end marker that completes a
  // huge answer.
  std::string tail;
  // Only this many bytes of the answer (canned or normal) are sent.
  size_t cutAfter = kWhole;
  Then then = Then::kGoOn;

  // The answer is cut after `afterBytes` bytes, and the connection closed.
  static FakePop3Fault CloseAt(std::string at, size_t afterBytes = 0);
  // The answer is cut after `afterBytes` bytes, and nothing more is sent.
  static FakePop3Fault SilentAt(std::string at, size_t afterBytes = 0);
  // `bytes` is sent instead of the answer; the conversation goes on.
  static FakePop3Fault Canned(std::string at, std::string bytes);
  // `head`, then `filler` over and over for `forMs`, then the connection closes.
  static FakePop3Fault Endless(std::string at, std::string head, std::string filler,
                               unsigned forMs);
};

struct FakePop3Options {
  uint16_t port = 110;  // 0: any free port (see FakePop3Server::Port)
  // The loopback address to listen on: several servers can each have port
  // 110 on an address of their own (127.0.0.2, 127.0.0.3, ...).
  std::string address = "127.0.0.1";
  // The mailbox, message 1 first, each as stored (lines ending in CR LF; a
  // last line without one gets it on the wire).
  std::vector<std::string> messages;
  std::string greeting = "+OK fake POP3 server ready\r\n";
  // Expected credentials; an empty one accepts any value.
  std::string user;
  std::string password;
  bool refusePassword = false;
  // Every request naming one of these numbers (LIST, RETR, TOP, DELE) is refused.
  std::set<int> refusedMessages;
  // Answers go out in writes of at most this many bytes with a pause between
  // them; 0 sends each answer in one write.
  size_t chunkSize = 0;
  unsigned chunkPauseMs = 0;
  // The status line of a multi-line answer in a write of its own, the body
  // after it; otherwise status, body and end marker go in one write.
  bool statusApart = false;
  std::vector<FakePop3Fault> faults;
};

class FakePop3Server {
 public:
  struct LoggedLine {
    int connection;     // counted from 1
    std::string bytes;  // exactly as received, CR LF included
  };

  // Binds and starts listening before it returns; throws std::runtime_error
  // when it cannot.
  explicit FakePop3Server(FakePop3Options options = FakePop3Options());
  // Stops the thread, ending any connection it is serving.
  ~FakePop3Server();
  FakePop3Server(const FakePop3Server&) = delete;
  FakePop3Server& operator=(const FakePop3Server&) = delete;

  uint16_t Port() const { return m_port; }

  // Every command line received, in order, with its connection.
  std::vector<LoggedLine> Log() const;
  // The command lines without their CR LF; `connection` 0 means all.
  std::vector<std::string> Commands(int connection = 0) const;
  // Connections accepted so far, and those that have ended.
  int Connections() const;
  int EndedConnections() const;
  // The messages still stored (deletions count once QUIT carried them out),
  // and the numbers, in the first mailbox, of those that were deleted.
  std::vector<std::string> Mailbox() const;
  std::vector<int> Deleted() const;

  // Waits until `connections` connections have ended, for at most `limit`;
  // false when the limit ran out first. Lets a test check what the server saw
  // after the client has hung up.
  bool WaitForEnded(int connections,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  // Multi-line answers as they go on the wire, without status line.
  static std::string Stuffed(const std::string& body);

 private:
  struct Stored {
    int number;  // in the first mailbox
    std::string text;
  };
  enum class Outcome { kGoOn, kClose, kSilent };

  void Run();
  void Serve(int client, int connection);
  // The normal answer to one command line, and whether it ends the session.
  std::string Answer(const std::string& line, std::vector<bool>& marked, bool& authorized,
                     bool& userGiven, bool& quit);
  // Sends the greeting or the answer to the command line `key`, with the
  // faults and the chunking applied.
  Outcome Deliver(int client, bool greeting, const std::string& key, int connection,
                  const std::string& answer);
  bool SendChunked(int client, const std::string& bytes);
  bool SendAll(int client, const char* data, size_t length);
  // Sleeps, waking early when the server stops; false when it stops.
  bool Pause(unsigned ms);
  enum class Received { kData, kNothing, kEnd };
  // Waits a poll slice for bytes from the client and appends them to
  // `pending`; kEnd when the client hung up or the server is stopping.
  Received ReceiveInto(int client, std::string& pending);
  // Reads and logs lines until the client hangs up or the server stops.
  void DrainSilently(int client, int connection, std::string& pending);
  bool Stopping() const;

  FakePop3Options m_options;
  uint16_t m_port = 0;
  int m_listener = -1;
  int m_wake[2] = {-1, -1};  // written to stop the thread

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<LoggedLine> m_log;
  std::vector<Stored> m_mailbox;
  std::vector<int> m_deleted;
  int m_connections = 0;
  int m_ended = 0;
  bool m_stopping = false;

  std::thread m_thread;  // last: it starts once everything above exists
};

// Runs `work` on a thread of its own and waits for it at most `bound`. A
// client still waiting after that has hung: the test binary then stops at
// once, saying what hung, instead of waiting for the test runner's time-out.
// Bounds are generous; they catch hangs and judge no speed.
void FinishWithin(std::chrono::milliseconds bound, const char* what,
                  const std::function<void()>& work);

#endif
