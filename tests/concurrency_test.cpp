// Many calls of the procedure at the same time, on threads of one process
// with one loaded library, as the database server runs them on its worker
// threads: the six commands against Dovecot mailboxes of their own (one user
// per call, on 127.0.0.1) and against fake servers that misbehave (one per
// call, each on port 110 of a loopback address of its own). Every call is
// held at its first operation after the login until all of them have got
// there, so that all are in flight together with their connections open;
// then every call's whole transcript must be exactly what that call alone
// would give, and each mailbox must have lost exactly the messages its call
// deleted. The test prints its figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/call.h"
#include "platform/ods.h"
#include "tests/support/dovecot.h"
#include "tests/support/fake_pop3_server.h"
#include "tests/support/procedure.h"
#include "tests/support/reliability.h"

namespace {

using testing_support::CallRecord;
using testing_support::Crlf;

const char kPassword[] = "secret";

struct Command {
  const char* name;
  const char* verb;
  bool deleting;
};
const Command kCommands[] = {
    {"READ", "RETR", false},       {"READ_TOP", "TOP", false}, {"READ_DEL", "RETR", true},
    {"READ_TOP_DEL", "TOP", true}, {"LIST", "LIST", false},    {"DEL", "DELE", true},
};

// --- Mailboxes and the rows their messages give ------------------------------

// Stored with LF line ends for Dovecot, which sends CR LF.
const std::vector<std::string> kDovecotMailbox = {
    "From: Alice <alice@example.com>\nSubject: Lunch\n\nAt noon?\n",
    "From: Carol <carol@example.com>\nSubject: Dots\n\n.leading dot\n..two dots\n",
    "From: J\xC3\xBCrgen <j@example.com>\nSubject: Gr\xC3\xBC\xC3\x9F" "e\n\n\xE2\x82\xAC 5\n",
};
// Stored as the fake server sends them.
const std::vector<std::string> kFakeMailbox = {
    "From: bob@example.test\r\nSubject: one\r\n\r\nFirst body.\r\n",
    "Subject: two\r\n\r\n.leading dot\r\n..two dots\r\n",
};

// The row a message gives: the message less the CR LF of its last line
// (RETR), its header lines (TOP), its size (LIST).
std::string RowText(const std::string& verb, const std::string& wire) {
  if (verb == "RETR") return wire.substr(0, wire.size() - 2);
  if (verb == "TOP") return wire.substr(0, wire.find("\r\n\r\n") + 2);
  return std::to_string(wire.size());
}

// --- What a call alone gives -------------------------------------------------

struct Scenario {
  const char* name;
  bool dovecot;
  // The server, for a fake one; `verb` is the request the command sends.
  std::function<void(FakePop3Options&, const std::string& verb)> script;
  bool loginFails = false;
  // The first message whose request fails (0: none but those past the end).
  int32_t failsFrom = 0;
  // Whether QUIT still reaches a server that carries deletions out.
  bool quitArrives = true;
  int failRowsFrom = 0;
  // Whether the server carried out the request that failed (it marked a
  // DELE it never answered).
  bool failedRequestDone = false;
};

struct Expected {
  std::vector<std::string> transcript;  // JSON lines
  std::vector<int> deleted;
};

host::Field Number(const char* name, long long value) {
  host::Field field;
  field.name = name;
  field.number = value;
  return field;
}

host::Field Text(const char* name, const std::string& value) {
  host::Field field;
  field.name = name;
  field.isText = true;
  field.text = value;
  return field;
}

// One operation as the host writes it, its fields in the host's order.
std::string Line(const std::string& op, std::vector<host::Field> fields) {
  return host::ToJson(host::Event{op, std::move(fields)});
}

std::vector<std::string> IntakeLines(const std::vector<host::Param>& params) {
  std::vector<std::string> lines = {Line("srv_rpcparams", {Number("result", 5)})};
  for (int n = 1; n <= 5; ++n) {
    const host::Param& param = params[static_cast<size_t>(n - 1)];
    lines.push_back(Line("srv_paramtype", {Number("param", n), Number("result", param.type)}));
    lines.push_back(Line("srv_paramlen", {Number("param", n), Number("result", param.length)}));
    lines.push_back(Line("srv_paramdata", {Number("param", n)}));
  }
  return lines;
}

Expected Expect(const Scenario& scenario, const Command& command, int32_t message,
                const std::vector<host::Param>& params, const std::vector<std::string>& rowTexts) {
  Expected expected;
  expected.transcript = IntakeLines(params);
  auto add = [&](const std::string& line) { expected.transcript.push_back(line); };
  if (scenario.loginFails) {
    add(Line("srv_sendmsg", {Number("type", SRV_MSG_ERROR), Number("number", 20001),
                             Number("class", 1), Number("state", 1), Number("procnamelen", 0),
                             Number("line", 304),
                             Text("text", "Can not establish connection to POP3 server."),
                             Number("textlen", SRV_NULLTERM)}));
    add(Line("srv_senddone", {Number("status", SRV_DONE_MORE | SRV_DONE_ERROR), Number("info", 0),
                              Number("count", 0)}));
    return expected;
  }
  add(Line("srv_describe", {Number("column", 1), Text("name", "id"), Number("namelen", -1),
                            Number("desttype", SRVINT4), Number("destlen", 1),
                            Number("srctype", SRVINT4), Number("srclen", 1)}));
  add(Line("srv_describe", {Number("column", 2), Text("name", "message"), Number("namelen", -1),
                            Number("desttype", SRVBIGVARCHAR), Number("destlen", 8000),
                            Number("srctype", SRVBIGVARCHAR), Number("srclen", 0)}));
  const bool rows = std::string(command.verb) != "DELE";
  const int32_t last = static_cast<int32_t>(rowTexts.size());
  int32_t count = 0;
  int tried = 0;
  std::vector<int> deleted;
  for (int32_t n = message == 0 ? 1 : message;; ++n) {
    const bool served = n <= last && (scenario.failsFrom == 0 || n < scenario.failsFrom);
    if (!served) {
      if (!rows && n <= last && scenario.failedRequestDone) deleted.push_back(n);
      break;
    }
    if (!rows) {
      ++count;
      deleted.push_back(n);
    } else {
      ++tried;
      const bool delivered = scenario.failRowsFrom == 0 || tried < scenario.failRowsFrom;
      const std::string& text = rowTexts[static_cast<size_t>(n - 1)];
      add(Line("srv_setcoldata", {Number("column", 1)}));
      add(Line("srv_setcoldata", {Number("column", 2)}));
      add(Line("srv_setcollen",
               {Number("column", 2), Number("len", static_cast<long long>(text.size()))}));
      std::vector<host::Field> row = {Number("id", n), Text("message", text)};
      if (!delivered) row.push_back(Number("result", FAIL));
      add(Line("srv_sendrow", row));
      if (command.deleting && !delivered) break;
      if (command.deleting) deleted.push_back(n);
      ++count;
    }
    if (message != 0) break;
  }
  if (command.deleting && scenario.quitArrives) expected.deleted = deleted;
  add(Line("srv_senddone",
           {Number("status", SRV_DONE_COUNT), Number("info", 0), Number("count", count)}));
  return expected;
}

std::vector<Scenario> Scenarios() {
  using F = FakePop3Fault;
  using O = FakePop3Options;
  auto at2 = [](const std::string& verb) { return verb + " 2"; };
  return {
      {"Dovecot", true, nullptr},
      {"fake, clean", false, [](O&, const std::string&) {}},
      {"fake, byte at a time", false,
       [](O& o, const std::string&) {
         o.chunkSize = 1;
         o.chunkPauseMs = 1;
       }},
      {"fake, refused password", false, [](O& o, const std::string&) { o.refusePassword = true; },
       true},
      {"fake, refused message 2", false,
       [](O& o, const std::string&) { o.refusedMessages = {2}; }, false, 2},
      {"fake, closes in the status line of answer 2", false,
       [at2](O& o, const std::string& verb) { o.faults = {F::CloseAt(at2(verb), 3)}; }, false, 2,
       false},
      // Nothing at all for request 2, while QUIT is still answered: the call
      // waits out the idle limit once.
      {"fake, no answer to request 2", false,
       [at2](O& o, const std::string& verb) { o.faults = {F::Canned(at2(verb), "")}; }, false, 2,
       true, 0, true},
      {"fake, NUL bytes in the greeting", false,
       [](O& o, const std::string&) { o.greeting = std::string("+OK\0 hel\0lo\r\n", 13); }},
      {"fake, client gone at row 2", false, [](O&, const std::string&) {}, false, 0, true, 2},
  };
}

// --- The run -------------------------------------------------------------------

// Holds every call at its first operation after the login until all calls
// have got there (or a generous bound has passed: then the test fails).
class Gate {
 public:
  explicit Gate(int parties) : m_waiting(parties) {}
  bool Pass() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (--m_waiting == 0) m_open.notify_all();
    return m_open.wait_for(lock, std::chrono::seconds(120), [&] { return m_waiting <= 0; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_open;
  int m_waiting;
};

struct Job {
  std::string label;
  const Command* command;
  std::vector<host::Param> params;
  int failRowsFrom = 0;
  std::unique_ptr<FakePop3Server> server;
  std::string dovecotUser;
  Expected expected;
  CallRecord record;
  bool gatePassed = false;
};

TEST(Concurrency, ManyCallsAtOnceEachGiveWhatTheyGiveAlone) {
  testing_support::Dovecot dovecot;
  const std::vector<Scenario> scenarios = Scenarios();
  std::vector<std::unique_ptr<Job>> jobs;
  int addresses = 0;
  for (const Scenario& scenario : scenarios) {
    // Dovecot takes more of the calls: three rounds of every command.
    const int rounds = scenario.dovecot ? 3 : 1;
    for (int round = 0; round < rounds; ++round) {
      for (const Command& command : kCommands) {
        for (const int32_t message : {0, 2}) {
          auto job = std::make_unique<Job>();
          job->command = &command;
          job->failRowsFrom = scenario.failRowsFrom;
          std::vector<std::string> rowTexts;
          std::string server;
          std::string user = "alice";
          if (scenario.dovecot) {
            user = dovecot.NewMailbox(kDovecotMailbox, kPassword);
            job->dovecotUser = user;
            server = "127.0.0.1";
            for (const std::string& stored : kDovecotMailbox) {
              rowTexts.push_back(RowText(command.verb, Crlf(stored)));
            }
          } else {
            FakePop3Options options;
            options.address = testing_support::LoopbackAddress(addresses++);
            options.messages = kFakeMailbox;
            scenario.script(options, command.verb);
            job->server = std::make_unique<FakePop3Server>(options);
            server = options.address;
            for (const std::string& stored : kFakeMailbox) {
              rowTexts.push_back(RowText(command.verb, stored));
            }
          }
          job->label = std::string(scenario.name) + ": " + command.name + " " +
                       std::to_string(message);
          job->params = testing_support::CallParams(server, user, kPassword, command.name, message);
          job->expected = Expect(scenario, command, message, job->params, rowTexts);
          jobs.push_back(std::move(job));
        }
      }
    }
  }

  const host::Library& library = testing_support::Procedure();
  Gate gate(static_cast<int>(jobs.size()));
  std::atomic<int> heldTogether{0};
  std::mutex startMutex;
  std::condition_variable startSignal;
  bool started = false;
  std::vector<std::thread> threads;
  for (const std::unique_ptr<Job>& job : jobs) {
    Job* j = job.get();
    threads.emplace_back([&, j] {
      {
        std::unique_lock<std::mutex> lock(startMutex);
        startSignal.wait(lock, [&] { return started; });
      }
      bool atGate = false;
      auto onEvent = [&](const host::Event& event) {
        if (atGate || (event.op != "srv_describe" && event.op != "srv_sendmsg")) return;
        atGate = true;
        j->gatePassed = gate.Pass();
        if (j->gatePassed) ++heldTogether;
      };
      j->record = testing_support::RunCall(library, j->params, j->server.get(), j->failRowsFrom,
                                           std::chrono::seconds(180), onEvent);
    });
  }
  const auto start = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(startMutex);
    started = true;
  }
  startSignal.notify_all();
  for (std::thread& thread : threads) thread.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  int failures = 0;
  int dovecotCalls = 0;
  for (const std::unique_ptr<Job>& job : jobs) {
    SCOPED_TRACE(job->label);
    std::vector<std::string> got;
    for (const host::Event& event : job->record.transcript) got.push_back(host::ToJson(event));
    const std::vector<std::string> problems =
        testing_support::CallProblems(job->record, job->command->name, job->server.get());
    std::vector<int> deleted;
    std::vector<int> remaining;
    std::vector<int> expectedRemaining;
    if (job->server) {
      deleted = job->server->Deleted();
    } else {
      ++dovecotCalls;
      remaining = dovecot.Remaining(job->dovecotUser);
      for (int n = 1; n <= static_cast<int>(kDovecotMailbox.size()); ++n) {
        const std::vector<int>& gone = job->expected.deleted;
        if (std::find(gone.begin(), gone.end(), n) == gone.end()) expectedRemaining.push_back(n);
      }
    }
    const bool ok = job->gatePassed && got == job->expected.transcript && problems.empty() &&
                    (job->server ? deleted == job->expected.deleted : remaining == expectedRemaining);
    if (ok) continue;
    ++failures;
    EXPECT_TRUE(job->gatePassed) << "the call was not in flight with all the others";
    EXPECT_EQ(got, job->expected.transcript);
    for (const std::string& problem : problems) ADD_FAILURE() << problem;
    if (job->server) {
      EXPECT_EQ(deleted, job->expected.deleted);
    } else {
      EXPECT_EQ(remaining, expectedRemaining);
    }
  }
  std::printf(
      "concurrency: %zu calls (%d against Dovecot, %zu against misbehaving fake servers), "
      "%zu calling threads, %d calls in flight at once, wall time %.1f s, %d calls failed\n",
      jobs.size(), dovecotCalls, jobs.size() - static_cast<size_t>(dovecotCalls), threads.size(),
      heldTogether.load(), seconds, failures);
}

}  // namespace
