// The procedure library as the database server finds it: exactly two
// exported names, the ten host operations as its only imports from the host,
// and a version answer that needs no earlier call.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "host/call.h"
#include "host/library.h"
#include "tests/support/procedure.h"

namespace {

using testing_support::BuildPath;

// The dynamic symbols nm lists with the option, as "name" -> type letter.
std::set<std::string> DynamicSymbols(const std::string& library, const std::string& option,
                                     std::set<std::string>* types = nullptr) {
  const std::string command = "nm -D " + option + " " + testing_support::ShellQuote(library);
  int status = 0;
  const std::string output = testing_support::RunCommand(command, &status);
  if (status != 0) throw std::runtime_error(command + " failed");
  std::set<std::string> names;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    // "ADDRESS TYPE NAME" for a defined symbol, "TYPE NAME" for an undefined one.
    std::istringstream words(line);
    std::string first, second, third;
    words >> first >> second >> third;
    const std::string name = third.empty() ? second : third;
    const std::string type = third.empty() ? first : second;
    if (name.empty()) continue;
    // Versioned imports read "name@VERSION"; the name is what matters here.
    names.insert(name.substr(0, name.find('@')));
    if (types != nullptr) types->insert(type);
  }
  return names;
}

const char* const kLibraries[] = {"libmailquarry.so", "libmailquarry-shortwait.so"};

TEST(Exports, ExactlyTheTwoEntryPoints) {
  for (const char* library : kLibraries) {
    SCOPED_TRACE(library);
    std::set<std::string> types;
    EXPECT_EQ(DynamicSymbols(BuildPath(library), "--defined-only", &types),
              (std::set<std::string>{"__GetXpVersion", "mailquarry"}));
    EXPECT_EQ(types, std::set<std::string>{"T"});
  }
}

TEST(Exports, TakesTheTenOperationsFromTheHost) {
  for (const char* library : kLibraries) {
    SCOPED_TRACE(library);
    std::set<std::string> fromHost;
    for (const std::string& name : DynamicSymbols(BuildPath(library), "--undefined-only")) {
      if (name.compare(0, 4, "srv_") == 0) fromHost.insert(name);
    }
    EXPECT_EQ(fromHost, (std::set<std::string>{"srv_describe", "srv_paramdata", "srv_paramlen",
                                               "srv_paramtype", "srv_rpcparams", "srv_senddone",
                                               "srv_sendmsg", "srv_sendrow", "srv_setcoldata",
                                               "srv_setcollen"}));
  }
}

// Nothing else in this program calls the procedure, so the first answer
// comes before any call of it.
TEST(Exports, VersionBeforeAndAfterACall) {
  const host::Library library(BuildPath("libmailquarry.so"));
  EXPECT_EQ(library.XpVersion(), 0x07000000u);
  host::Call call({});
  EXPECT_EQ(library.Execute(call), 1);
  EXPECT_EQ(library.XpVersion(), 0x07000000u);
}

}  // namespace
