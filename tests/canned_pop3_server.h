// A POP3 server on 127.0.0.1:110 that plays one conversation from a script:
// it greets, then answers the n-th line it receives with the n-th canned
// reply, and records every line exactly as it arrived. It serves one
// connection and then stops. Tests run in a network namespace of their own,
// so the port is theirs.
#ifndef MAILQUARRY_TESTS_CANNED_POP3_SERVER_H
#define MAILQUARRY_TESTS_CANNED_POP3_SERVER_H

#include <string>
#include <thread>
#include <vector>

class CannedPop3Server {
 public:
  // Listens at once; a reply list shorter than the conversation closes the
  // connection after the last reply.
  explicit CannedPop3Server(std::vector<std::string> replies,
                            std::string greeting = "+OK ready\r\n");
  ~CannedPop3Server();
  CannedPop3Server(const CannedPop3Server&) = delete;
  CannedPop3Server& operator=(const CannedPop3Server&) = delete;

  // Waits until the client has gone (or a generous bound against a hang
  // has passed) and gives the lines received, each with its CR LF.
  std::vector<std::string> Lines();

 private:
  void Serve();

  std::vector<std::string> m_replies;
  std::string m_greeting;
  std::vector<std::string> m_lines;
  int m_listener = -1;
  std::thread m_thread;
};

#endif
