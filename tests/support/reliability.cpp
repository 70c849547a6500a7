#include "tests/support/reliability.h"

#include <algorithm>
#include <utility>

#include "platform/ods.h"

namespace testing_support {

std::string LoopbackAddress(int index) {
  return "127.0." + std::to_string(1 + index / 250) + "." + std::to_string(1 + index % 250);
}

std::vector<host::Param> CallParams(const std::string& server, const std::string& user,
                                    const std::string& password, const std::string& command,
                                    int32_t message) {
  return {host::Param::Text(server), host::Param::Text(user), host::Param::Text(password),
          host::Param::Text(command), host::Param::Int(message)};
}

CallRecord RunCall(const host::Library& library, std::vector<host::Param> params,
                   const FakePop3Server* server, int failRowsFrom,
                   std::chrono::milliseconds bound,
                   const std::function<void(const host::Event&)>& onEvent) {
  host::Call call(std::move(params));
  if (failRowsFrom > 0) call.FailRowsFrom(failRowsFrom);
  CallRecord record;
  call.Observe(
      [&](const host::Event& event) {
        if (server != nullptr && event.op == "srv_sendrow") {
          record.linesAtRow.push_back(server->Log().size());
        }
        if (onEvent) onEvent(event);
      },
      true);
  FinishWithin(bound, "a call of the procedure", [&] { record.returned = library.Execute(call); });
  record.transcript = call.Transcript();
  record.rows = call.Rows();
  record.messages = call.Messages();
  record.dones = call.Dones();
  return record;
}

namespace {

bool Deleting(const std::string& command) {
  return command == "READ_DEL" || command == "READ_TOP_DEL" || command == "DEL";
}

// The message number of a "DELE n" line, or -1.
long DeletedNumber(const std::string& line) {
  if (line.compare(0, 5, "DELE ") != 0) return -1;
  try {
    return std::stol(line.substr(5));
  } catch (...) {
    return -1;
  }
}

}  // namespace

std::vector<std::string> CallProblems(const CallRecord& record, const std::string& command,
                                      const FakePop3Server* server) {
  std::vector<std::string> problems;
  auto problem = [&](std::string text) { problems.push_back(std::move(text)); };

  if (record.dones.size() != 1) {
    problem(std::to_string(record.dones.size()) + " done statuses");
  } else if (record.transcript.empty() || record.transcript.back().op != "srv_senddone") {
    problem("operations after the done status");
  }
  if (record.messages.size() > 1) problem(std::to_string(record.messages.size()) + " messages");
  if (record.messages.size() == 1 && record.dones.size() == 1) {
    const host::Message& message = record.messages[0];
    if (message.number != 20001 || message.type != SRV_MSG_ERROR) problem("not message 20001");
    const size_t n = record.transcript.size();
    if (n < 2 || record.transcript[n - 2].op != "srv_sendmsg") {
      problem("the message does not come right before the done status");
    }
    if (record.dones[0].status != (SRV_DONE_MORE | SRV_DONE_ERROR) || record.dones[0].count != 0) {
      problem("a message without the error done status");
    }
    if (record.returned != XP_ERROR) problem("a message, but the procedure returned success");
  }
  if (record.messages.empty() && record.dones.size() == 1) {
    if (record.dones[0].status != SRV_DONE_COUNT) problem("no message, but not the count status");
    if (record.returned != XP_NOERROR) problem("no message, but the procedure returned failure");
  }
  if (command == "DEL" && !record.rows.empty()) problem("DEL sent rows");
  if (server == nullptr) return problems;

  const int connections = server->Connections();
  if (connections > 1) problem(std::to_string(connections) + " connections");
  if (connections > 0 && !server->WaitForEnded(connections, std::chrono::seconds(10))) {
    problem("the connection was still open after the call returned");
  }
  const std::vector<std::string> lines = server->Commands();
  const bool deleting = Deleting(command);
  for (size_t at = 0; at < lines.size(); ++at) {
    const std::string& line = lines[at];
    if (!deleting && (DeletedNumber(line) >= 0 || line.compare(0, 4, "QUIT") == 0)) {
      problem(command + " sent " + line);
    }
    const long number = DeletedNumber(line);
    if (command == "DEL" || number < 0) continue;
    // The row of this message must have been delivered before the server
    // received the DELE.
    bool deliveredBefore = false;
    for (size_t row = 0; row < record.rows.size(); ++row) {
      if (record.rows[row].id == number && record.rows[row].delivered &&
          row < record.linesAtRow.size() && record.linesAtRow[row] <= at) {
        deliveredBefore = true;
      }
    }
    if (!deliveredBefore) problem(line + " without a delivered row before it");
  }
  return problems;
}

}  // namespace testing_support
