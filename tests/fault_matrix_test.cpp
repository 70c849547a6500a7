// Every fault the fake POP3 server can play, and a client that goes away,
// against every command, for one message and for all messages, through the
// loaded library. Each cell has a fake server of its own on port 110 of a
// loopback address of its own, so the cells run in parallel; the cells with
// a silent server use the library built with a 1 s idle limit.
//
// Every cell must pass the checks every call must pass (CallProblems: one
// done status or one message then the error status, the connection closed
// when the call returns, no DELE without a delivered row before it). On top
// of that each fault says what it may do to the result: nothing at all, make
// the login fail, or only cut the result short (the rows are the first rows
// of the clean call, nothing deleted that the clean call keeps). The test
// prints the table of cells and their outcomes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_pop3_server.h"
#include "tests/support/procedure.h"
#include "tests/support/reliability.h"

namespace {

using testing_support::CallProblems;
using testing_support::CallRecord;

const std::string kOne =
    "From: bob@example.test\r\n"
    "Subject: one\r\n"
    "\r\n"
    "First body.\r\n";
const std::string kTwo =
    "Subject: two\r\n"
    "\r\n"
    ".leading dot\r\n"
    "..two dots\r\n"
    "last line\r\n";
const std::vector<std::string> kMailbox = {kOne, kTwo};
// The message that the one-message cells ask for, and at which the faults of
// a request strike: the last one, so that the all-messages cells have
// delivered a row before the fault.
constexpr int32_t kTarget = 2;

std::string Text(const std::string& message) { return message.substr(0, message.size() - 2); }
std::string Headers(const std::string& message) {
  return message.substr(0, message.find("\r\n\r\n") + 2);
}

struct Command {
  const char* name;
  const char* verb;  // the request it sends for each message
  bool deleting;
};
const Command kCommands[] = {
    {"READ", "RETR", false},    {"READ_TOP", "TOP", false}, {"READ_DEL", "RETR", true},
    {"READ_TOP_DEL", "TOP", true}, {"LIST", "LIST", false},  {"DEL", "DELE", true},
};

// The request line for message n, as the server logs it.
std::string Request(const Command& command, int32_t n) {
  const std::string line = std::string(command.verb) + " " + std::to_string(n);
  return std::string(command.verb) == "TOP" ? line + " 0" : line;
}

// The row text of a message for the command.
std::string RowText(const Command& command, int32_t n) {
  const std::string& message = kMailbox[static_cast<size_t>(n - 1)];
  const std::string verb = command.verb;
  if (verb == "RETR") return Text(message);
  if (verb == "TOP") return Headers(message);
  return std::to_string(message.size());
}

// The answer the fake server sends to a request, byte for byte.
std::string NormalAnswer(const std::string& verb, int32_t n) {
  if (n < 1 || n > static_cast<int32_t>(kMailbox.size())) return "-ERR no such message\r\n";
  const std::string& message = kMailbox[static_cast<size_t>(n - 1)];
  if (verb == "RETR") {
    return "+OK " + std::to_string(message.size()) + " octets\r\n" +
           FakePop3Server::Stuffed(message);
  }
  if (verb == "TOP") return "+OK\r\n" + FakePop3Server::Stuffed(Headers(message) + "\r\n");
  if (verb == "LIST") return "+OK " + std::to_string(n) + " " + std::to_string(message.size()) + "\r\n";
  return "+OK message " + std::to_string(n) + " deleted\r\n";
}

// A NUL byte after every two bytes.
std::string WithNuls(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += bytes[i];
    if (i % 2 == 1) out += '\0';
  }
  return out;
}

// What the clean call of a cell gives.
struct Clean {
  std::vector<std::string> requests;  // after USER and PASS
  std::vector<std::pair<int32_t, std::string>> rows;
  int32_t count = 0;
  std::vector<int> deleted;
};

Clean CleanOutcome(const Command& command, int32_t message) {
  Clean clean;
  const bool rows = std::string(command.verb) != "DELE";
  const std::vector<int32_t> numbers =
      message == 0 ? std::vector<int32_t>{1, 2} : std::vector<int32_t>{message};
  for (const int32_t n : numbers) {
    clean.requests.push_back(Request(command, n));
    if (rows) clean.rows.emplace_back(n, RowText(command, n));
    if (command.deleting && rows) clean.requests.push_back("DELE " + std::to_string(n));
    if (command.deleting) clean.deleted.push_back(n);
  }
  // The walk over all messages ends at the first refused request.
  if (message == 0) clean.requests.push_back(Request(command, 3));
  if (command.deleting) clean.requests.push_back("QUIT ");
  clean.count = static_cast<int32_t>(numbers.size());
  return clean;
}

enum class Effect {
  kNone,        // the same result as the clean call
  kLoginFails,  // the login message, no request after the login
  kCutShort,    // the first rows of the clean call, or fewer deletions
  kAny,         // the content may differ (odd answers); only the common checks
};

struct Fault {
  const char* name;
  Effect effect;
  bool silent;  // the server stays silent somewhere: the 1 s library
  // Scripts the server for a command whose requests use `verb`.
  std::function<void(FakePop3Options&, const std::string& verb)> script;
  int failRowsFrom = 0;
};

std::string At(const std::string& verb) { return verb + " " + std::to_string(kTarget); }

std::vector<Fault> Faults() {
  using F = FakePop3Fault;
  using O = FakePop3Options;
  const std::string endless = "an endless answer goes on and on\r\n";
  return {
      {"none", Effect::kNone, false, [](O&, const std::string&) {}},
      {"negative greeting", Effect::kLoginFails, false,
       [](O& o, const std::string&) { o.greeting = "-ERR not now\r\n"; }},
      {"refused user", Effect::kLoginFails, false, [](O& o, const std::string&) { o.user = "bob"; }},
      {"refused password", Effect::kLoginFails, false,
       [](O& o, const std::string&) { o.refusePassword = true; }},
      {"refused message 2", Effect::kCutShort, false,
       [](O& o, const std::string&) { o.refusedMessages = {kTarget}; }},
      {"close before the greeting", Effect::kLoginFails, false,
       [](O& o, const std::string&) { o.faults = {F::CloseAt("", 0)}; }},
      {"close in the greeting", Effect::kLoginFails, false,
       [](O& o, const std::string&) { o.faults = {F::CloseAt("", 4)}; }},
      {"close in the answer to PASS", Effect::kLoginFails, false,
       [](O& o, const std::string&) { o.faults = {F::CloseAt("PASS", 3)}; }},
      {"close in the status line of request 2", Effect::kCutShort, false,
       [](O& o, const std::string& verb) { o.faults = {F::CloseAt(At(verb), 3)}; }},
      {"close in the body of request 2", Effect::kCutShort, false,
       [](O& o, const std::string& verb) { o.faults = {F::CloseAt(At(verb), 20)}; }},
      {"silent at the greeting", Effect::kLoginFails, true,
       [](O& o, const std::string&) { o.faults = {F::SilentAt("")}; }},
      {"silent at USER", Effect::kLoginFails, true,
       [](O& o, const std::string&) { o.faults = {F::SilentAt("USER")}; }},
      {"silent at PASS", Effect::kLoginFails, true,
       [](O& o, const std::string&) { o.faults = {F::SilentAt("PASS")}; }},
      {"silent at request 2", Effect::kCutShort, true,
       [](O& o, const std::string& verb) { o.faults = {F::SilentAt(At(verb))}; }},
      {"silent in the body of request 2", Effect::kCutShort, true,
       [](O& o, const std::string& verb) { o.faults = {F::SilentAt(At(verb), 20)}; }},
      {"silent at the first DELE", Effect::kCutShort, true,
       [](O& o, const std::string&) { o.faults = {F::SilentAt("DELE")}; }},
      {"silent at QUIT", Effect::kNone, true,
       [](O& o, const std::string&) { o.faults = {F::SilentAt("QUIT")}; }},
      {"status lines in pieces", Effect::kNone, false,
       [](O& o, const std::string&) {
         o.chunkSize = 3;
         o.chunkPauseMs = 2;
       }},
      {"status line apart from the body", Effect::kNone, false,
       [](O& o, const std::string&) { o.statusApart = true; }},
      {"byte at a time", Effect::kNone, false,
       [](O& o, const std::string&) {
         o.chunkSize = 1;
         o.chunkPauseMs = 1;
       }},
      {"NUL bytes in every answer", Effect::kNone, false,
       [](O& o, const std::string&) {
         o.greeting = WithNuls(o.greeting);
         o.faults = {F::Canned("USER", WithNuls("+OK send PASS\r\n")),
                     F::Canned("PASS", WithNuls("+OK logged in\r\n")),
                     F::Canned("QUIT", WithNuls("+OK bye\r\n"))};
         for (const char* verb : {"RETR", "TOP", "LIST", "DELE"}) {
           for (int32_t n = 1; n <= 3; ++n) {
             o.faults.push_back(
                 F::Canned(std::string(verb) + " " + std::to_string(n), WithNuls(NormalAnswer(verb, n))));
           }
         }
       }},
      {"+OK in the middle of the greeting", Effect::kNone, false,
       [](O& o, const std::string&) { o.greeting = "* hello, +OK, go on\r\n"; }},
      {"lower-case +ok to request 2", Effect::kCutShort, false,
       [](O& o, const std::string& verb) { o.faults = {F::Canned(At(verb), "+ok\r\n")}; }},
      {"LF-only line ends in answer 2", Effect::kCutShort, true,
       [](O& o, const std::string& verb) { o.faults = {F::Canned(At(verb), "+OK\n.\n")}; }},
      {"empty answer with end marker to 2", Effect::kAny, false,
       [](O& o, const std::string& verb) { o.faults = {F::Canned(At(verb), "+OK\r\n.\r\n")}; }},
      {"stray line after answer 1", Effect::kAny, false,
       [](O& o, const std::string& verb) {
         o.faults = {F::Canned(verb + " 1", NormalAnswer(verb, 1) + "+OK stray\r\n")};
       }},
      {"endless status line to request 2", Effect::kCutShort, false,
       [](O& o, const std::string& verb) {
         o.faults = {F::Endless(At(verb), "+OK ", "0123456789", 500)};
       }},
      {"endless body to request 2", Effect::kAny, false,
       [endless](O& o, const std::string& verb) {
         o.faults = {F::Endless(At(verb), "+OK\r\n", endless, 500)};
       }},
      {"client gone at the first row", Effect::kAny, false, [](O&, const std::string&) {}, 1},
      {"client gone at the second row", Effect::kAny, false, [](O&, const std::string&) {}, 2},
  };
}

struct Cell {
  const Fault* fault;
  const Command* command;
  int32_t message;
  std::string address;
  // Filled in by the run.
  CallRecord record;
  std::vector<std::string> requests;
  std::vector<int> deleted;
  std::vector<std::string> problems;
};

void RunCell(Cell& cell) {
  FakePop3Options options;
  options.address = cell.address;
  options.messages = kMailbox;
  cell.fault->script(options, cell.command->verb);
  FakePop3Server server(options);
  const host::Library& library = cell.fault->silent ? testing_support::ShortWaitProcedure()
                                                    : testing_support::Procedure();
  cell.record = testing_support::RunCall(
      library,
      testing_support::CallParams(cell.address, "alice", "secret", cell.command->name, cell.message),
      &server, cell.fault->failRowsFrom, std::chrono::seconds(30));
  cell.problems = CallProblems(cell.record, cell.command->name, &server);
  const std::vector<std::string> lines = server.Commands();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].compare(0, 5, "USER ") != 0 && lines[i].compare(0, 5, "PASS ") != 0) {
      cell.requests.push_back(lines[i]);
    }
  }
  cell.deleted = server.Deleted();
}

// The checks of the fault's effect, against the clean outcome.
void CheckEffect(Cell& cell) {
  const Clean clean = CleanOutcome(*cell.command, cell.message);
  const CallRecord& record = cell.record;
  auto problem = [&](const std::string& text) { cell.problems.push_back(text); };
  std::vector<std::pair<int32_t, std::string>> rows;
  int delivered = 0;
  for (const host::Row& row : record.rows) {
    rows.emplace_back(row.id, row.message);
    if (row.delivered) ++delivered;
  }
  const int32_t count = record.dones.empty() ? -1 : record.dones[0].count;
  const bool countsDelivered = cell.command->deleting && std::string(cell.command->verb) != "DELE";
  if (record.messages.empty() && std::string(cell.command->verb) != "DELE") {
    const int32_t expected = countsDelivered ? delivered : static_cast<int32_t>(rows.size());
    if (count != expected) problem("count " + std::to_string(count) + " for these rows");
  }

  switch (cell.fault->effect) {
    case Effect::kNone:
      if (record.returned != 0) problem("failed");
      if (rows != clean.rows) problem("rows differ from the clean call");
      if (count != clean.count) problem("count differs from the clean call");
      if (cell.requests != clean.requests) problem("requests differ from the clean call");
      if (cell.deleted != clean.deleted) problem("deletions differ from the clean call");
      break;
    case Effect::kLoginFails:
      if (record.messages.size() != 1 ||
          record.messages[0].text != "Can not establish connection to POP3 server.") {
        problem("no login message");
      }
      if (!rows.empty() || !cell.requests.empty()) problem("requests after a failed login");
      break;
    case Effect::kCutShort: {
      if (record.returned != 0) problem("failed");
      const bool prefix = rows.size() <= clean.rows.size() &&
                          std::equal(rows.begin(), rows.end(), clean.rows.begin());
      if (!prefix) problem("rows are not the first rows of the clean call");
      if (count > clean.count) problem("count above the clean call's");
      for (const int number : cell.deleted) {
        if (std::find(clean.deleted.begin(), clean.deleted.end(), number) == clean.deleted.end()) {
          problem("deleted " + std::to_string(number) + ", which the clean call keeps");
        }
      }
      break;
    }
    case Effect::kAny:
      break;
  }
}

// A short word for the table: "ERR" for a failed call, otherwise the rows
// delivered (r), the count (c) and the messages deleted (d).
std::string Summary(const Cell& cell) {
  if (cell.record.returned != 0) return cell.problems.empty() ? "ERR" : "ERR!";
  int delivered = 0;
  for (const host::Row& row : cell.record.rows) delivered += row.delivered ? 1 : 0;
  std::string text = std::string(cell.command->verb) == "DELE"
                         ? "c" + std::to_string(cell.record.dones.empty() ? -1 : cell.record.dones[0].count)
                         : std::to_string(delivered) + "r";
  if (cell.command->deleting) text += " d" + std::to_string(cell.deleted.size());
  return cell.problems.empty() ? text : text + "!";
}

TEST(FaultMatrix, EveryFaultAgainstEveryCommand) {
  const std::vector<Fault> faults = Faults();
  std::vector<Cell> cells;
  for (const Fault& fault : faults) {
    for (const Command& command : kCommands) {
      for (const int32_t message : {kTarget, 0}) {
        Cell cell;
        cell.fault = &fault;
        cell.command = &command;
        cell.message = message;
        cell.address = testing_support::LoopbackAddress(static_cast<int>(cells.size()));
        cells.push_back(cell);
      }
    }
  }

  // Load both libraries before the workers share them.
  testing_support::Procedure();
  testing_support::ShortWaitProcedure();
  const auto start = std::chrono::steady_clock::now();
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  const size_t kWorkers = 24;
  for (size_t w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (size_t i = next++; i < cells.size(); i = next++) RunCell(cells[i]);
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  size_t passed = 0;
  for (Cell& cell : cells) {
    CheckEffect(cell);
    if (cell.problems.empty()) {
      ++passed;
      continue;
    }
    std::string all;
    for (const std::string& problem : cell.problems) all += "\n  " + problem;
    ADD_FAILURE() << cell.fault->name << ", " << cell.command->name << " " << cell.message << ":"
                  << all;
  }

  // The table: one line per fault, a column per command and message number.
  std::printf("\n%-40s", "fault \\ command, message");
  for (const Command& command : kCommands) std::printf(" %-19s", command.name);
  std::printf("\n%-40s", "");
  for (size_t c = 0; c < sizeof kCommands / sizeof kCommands[0]; ++c) {
    std::printf(" %-9d %-9d", kTarget, 0);
  }
  std::printf("\n");
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i % 12 == 0) std::printf("%-40s", cells[i].fault->name);
    std::printf(" %-9s", Summary(cells[i]).c_str());
    if (i % 12 == 11) std::printf("\n");
  }
  std::printf(
      "r rows delivered, c count, d messages deleted, ERR the error message; ! a failed check\n"
      "fault matrix: %zu cells, %zu passed, %zu failed, %zu workers, %.1f s\n",
      cells.size(), passed, cells.size() - passed, kWorkers, seconds);
}

}  // namespace
