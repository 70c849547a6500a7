// Calls the procedure through the loaded library, as the database server
// does, and runs the command-line host.
#ifndef MAILQUARRY_TESTS_SUPPORT_PROCEDURE_H
#define MAILQUARRY_TESTS_SUPPORT_PROCEDURE_H

#include <string>
#include <vector>

#include "host/call.h"
#include "host/library.h"

namespace testing_support {

// The library as built (shipped idle limit of 20 s), and the same library
// built with an idle limit of 1 s, for servers that stay silent.
const host::Library& Procedure();
const host::Library& ShortWaitProcedure();

std::string BuildPath(const std::string& name);

// One word quoted for /bin/sh.
std::string ShellQuote(const std::string& word);

// Runs a shell command; `status` gets its exit status (-1 when it did not
// exit normally). Returns what it wrote to stdout.
std::string RunCommand(const std::string& command, int* status);

// Runs build/mailquarry-exec with the arguments (each one shell word);
// `status` gets its exit status. Returns what it wrote to stdout.
std::string RunExec(const std::vector<std::string>& args, int* status);

}  // namespace testing_support

#endif
