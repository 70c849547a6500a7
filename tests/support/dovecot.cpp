#include "tests/support/dovecot.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/procedure.h"

namespace testing_support {

namespace {

namespace fs = std::filesystem;

// Maildir file names begin with a time stamp that grows with each message
// the tool stores, so this orders them as message numbers.
long long LeadingNumber(const std::string& name) {
  long long number = 0;
  for (const char c : name) {
    if (c < '0' || c > '9') break;
    number = number * 10 + (c - '0');
  }
  return number;
}

// The part of a maildir file name that stays when the server moves the file
// from new/ to cur/ and appends its flags.
std::string BaseName(const std::string& name) { return name.substr(0, name.find(':')); }

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.push_back(BaseName(entry.path().filename().string()));
  }
  return names;
}

}  // namespace

Dovecot::Dovecot() {
  std::string pattern = BuildPath("e2e-dovecot.XXXXXX");
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("cannot make " + pattern);
  m_dir = pattern;
  Start();
}

Dovecot::~Dovecot() {
  try {
    Tool({"stop", m_dir, "--remove"});
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
  }
}

void Dovecot::Start() {
  if (m_running) return;
  Tool({"start", m_dir});
  m_running = true;
}

void Dovecot::Stop() {
  if (!m_running) return;
  m_running = false;
  Tool({"stop", m_dir});
}

void Dovecot::Tool(const std::vector<std::string>& args) const {
  std::string command = ShellQuote(std::string(MQ_SOURCE_DIR) + "/scripts/dovecot-env");
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  command += " 2>&1";
  int status = 0;
  const std::string output = RunCommand(command, &status);
  if (status != 0) throw std::runtime_error(command + " failed:\n" + output);
}

std::string Dovecot::NewMailbox(const std::vector<std::string>& messages,
                                const std::string& password) {
  const std::string user = "user" + std::to_string(++m_users);
  const fs::path sources = fs::path(m_dir) / "messages" / user;
  fs::create_directories(sources);
  std::vector<std::string> args = {"user", m_dir, user + ":" + password};
  for (size_t i = 0; i < messages.size(); ++i) {
    const fs::path file = sources / (std::to_string(i + 1) + ".eml");
    std::ofstream(file, std::ios::binary) << messages[i];
    args.push_back(file.string());
  }
  if (messages.empty()) args.push_back("--empty");
  Tool(args);

  std::vector<std::string> files = FilesIn(fs::path(m_dir) / "mail" / user / "new");
  std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
    return LeadingNumber(a) < LeadingNumber(b);
  });
  if (files.size() != messages.size()) throw std::runtime_error("mailbox of " + user + " is not as made");
  m_files[user] = files;
  return user;
}

std::vector<int> Dovecot::Remaining(const std::string& user) const {
  const std::vector<std::string>& made = m_files.at(user);
  const fs::path box = fs::path(m_dir) / "mail" / user;
  std::vector<int> numbers;
  for (const char* folder : {"new", "cur"}) {
    for (const std::string& name : FilesIn(box / folder)) {
      const auto found = std::find(made.begin(), made.end(), name);
      if (found == made.end()) throw std::runtime_error("unknown message " + name + " for " + user);
      numbers.push_back(static_cast<int>(found - made.begin()) + 1);
    }
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::string Crlf(const std::string& stored) {
  std::string text;
  for (const char c : stored) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text;
}

}  // namespace testing_support
