// The procedure body and its parts. Failures inside the body are raised: a
// parameter or login failure as a CText holding the message, anything else
// as whatever exception arose; RunProcedure reports either kind.
#ifndef MAILQUARRY_PROCEDURE_PROCEDURE_H
#define MAILQUARRY_PROCEDURE_PROCEDURE_H

#include <cstdint>

#include "platform/ods.h"
#include "platform/text.h"
#include "pop3/pop3_session.h"

// The longest text a result row carries.
constexpr int kRowLimit = 8000;

// The command step's state: created with the rest of the call state, so that
// the exit releases it on every path (the response text, then the session,
// which closes the connection).
struct CommandState {
  CommandState();
  CPop3Session session;
  CText response;
  int32_t counter = 1;
};

// Runs one call; true when the command ended normally, false when a failure
// was reported. Never lets an exception out.
bool RunProcedure(SRV_PROC* srvproc);

// Intake of parameters 1 to 4 (texts) and 5 (the message number).
bool GetStringParam(CText& text, int param, SRV_PROC* srvproc);
bool GetIntParam(int32_t& value, int param, SRV_PROC* srvproc);

// Logs in, describes the columns, runs the command and sends the done
// status with its count.
void RunCommand(SRV_PROC* srvproc, const CText& server, const CText& user, const CText& password,
                const CText& command, int32_t message, CommandState& state);

// Sends one row (id, first 8000 bytes of text); true when the host took it.
bool SendRow(const CText& text, int32_t message, SRV_PROC* srvproc);

#endif
