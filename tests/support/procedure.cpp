#include "tests/support/procedure.h"

#include <sys/wait.h>

#include <cstdio>
#include <stdexcept>

namespace testing_support {

std::string BuildPath(const std::string& name) { return std::string(MQ_BUILD_DIR) + "/" + name; }

const host::Library& Procedure() {
  static const host::Library library(BuildPath("libmailquarry.so"));
  return library;
}

const host::Library& ShortWaitProcedure() {
  static const host::Library library(BuildPath("libmailquarry-shortwait.so"));
  return library;
}

std::string ShellQuote(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string RunCommand(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}

std::string RunExec(const std::vector<std::string>& args, int* status) {
  std::string command = ShellQuote(BuildPath("mailquarry-exec"));
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  return RunCommand(command, status);
}

}  // namespace testing_support
