#include "procedure/messages.h"
#include "procedure/procedure.h"

namespace {

constexpr int32_t kErrorNumber = 20001;
constexpr unsigned short kLineOfMessage = 304;
constexpr unsigned short kLineOfUnknown = 312;

[[noreturn]] void Raise(const char* message) { throw CText(message); }

bool HasLineBreak(const CText& text) {
  return text.Find("\r") != CText::npos || text.Find("\n") != CText::npos;
}

bool IsCommand(const CText& command) {
  static const char* const kCommands[] = {"READ", "READ_TOP", "READ_DEL", "READ_TOP_DEL",
                                          "LIST", "DEL"};
  for (const char* keyword : kCommands) {
    if (command.Equals(keyword)) return true;
  }
  return false;
}

void Report(SRV_PROC* srvproc, unsigned short line, const char* text) {
  srv_sendmsg(srvproc, SRV_MSG_ERROR, kErrorNumber, 1, 1, nullptr, 0, line,
              const_cast<char*>(text), SRV_NULLTERM);
  srv_senddone(srvproc, SRV_DONE_MORE | SRV_DONE_ERROR, 0, 0);
}

}  // namespace

bool RunProcedure(SRV_PROC* srvproc) {
  bool success = false;
  CText server;
  CText user;
  CText password;
  CText command;
  int32_t message = 0;
  CommandState state;

  try {
    if (srv_rpcparams(srvproc) != 5) Raise(messages::kUsage);

    // All five are read before any is judged.
    GetStringParam(server, 1, srvproc);
    GetStringParam(user, 2, srvproc);
    GetStringParam(password, 3, srvproc);
    GetStringParam(command, 4, srvproc);
    GetIntParam(message, 5, srvproc);
    command.UpperCase();

    if (server.Empty()) Raise(messages::kEmpty[0]);
    if (user.Empty()) Raise(messages::kEmpty[1]);
    if (password.Empty()) Raise(messages::kEmpty[2]);
    // A line break would go to the server as a command line of its own.
    if (HasLineBreak(user)) Raise(messages::kUserLineBreak);
    if (HasLineBreak(password)) Raise(messages::kPasswordLineBreak);
    if (!IsCommand(command)) Raise(messages::kWrongCommand);
    if (message < 0) Raise(messages::kNegative);

    RunCommand(srvproc, server, user, password, command, message, state);
    success = true;
  } catch (const CText& text) {
    Report(srvproc, kLineOfMessage, text.Data());
  } catch (...) {
    Report(srvproc, kLineOfUnknown, messages::kUnknown);
  }
  return success;
}
