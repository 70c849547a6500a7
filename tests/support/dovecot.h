// A private Dovecot POP3 server on 127.0.0.1:110 for end-to-end tests, run
// through scripts/dovecot-env. It must live inside the test's private
// network namespace (every CTest test is run by scripts/in-netns).
#ifndef MAILQUARRY_TESTS_SUPPORT_DOVECOT_H
#define MAILQUARRY_TESTS_SUPPORT_DOVECOT_H

#include <map>
#include <string>
#include <vector>

namespace testing_support {

class Dovecot {
 public:
  // Starts the server in a fresh folder under the build folder; throws
  // std::runtime_error with the tool's output when it cannot.
  Dovecot();
  // Stops the server and removes its folder with every mailbox.
  ~Dovecot();
  Dovecot(const Dovecot&) = delete;
  Dovecot& operator=(const Dovecot&) = delete;

  // Stop leaves 127.0.0.1:110 with no listener; Start brings the server
  // back with the same users and mailboxes.
  void Stop();
  void Start();

  // Makes a new user with this password whose mailbox holds the messages
  // (stored byte for byte, message 1 first) and returns the user's name.
  std::string NewMailbox(const std::vector<std::string>& messages, const std::string& password);

  // The messages still in the user's mailbox, by their number in the list
  // given to NewMailbox, in order.
  std::vector<int> Remaining(const std::string& user) const;

 private:
  void Tool(const std::vector<std::string>& args) const;

  std::string m_dir;
  bool m_running = false;
  int m_users = 0;
  // Per user, the maildir file names of its messages, message 1 first.
  std::map<std::string, std::vector<std::string>> m_files;
};

// A stored message as Dovecot sends it: every LF with a CR before it.
std::string Crlf(const std::string& stored);

}  // namespace testing_support

#endif
