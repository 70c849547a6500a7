// What the reliability tests share: one call of the procedure through the
// loaded library, recorded together with what a fake server had seen at the
// moment of each row, and the checks that every call must pass whatever the
// server did.
#ifndef MAILQUARRY_TESTS_SUPPORT_RELIABILITY_H
#define MAILQUARRY_TESTS_SUPPORT_RELIABILITY_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/call.h"
#include "host/library.h"
#include "tests/support/fake_pop3_server.h"

namespace testing_support {

// A loopback address of its own for the index (0, 1, ...): 127.0.1.1,
// 127.0.1.2, ... Every address of 127.0.0.0/8 is on the namespace's lo, so
// each fake server can listen on port 110 of its own address.
std::string LoopbackAddress(int index);

// The five parameters of an ordinary call.
std::vector<host::Param> CallParams(const std::string& server, const std::string& user,
                                    const std::string& password, const std::string& command,
                                    int32_t message);

struct CallRecord {
  int returned = -1;
  std::vector<host::Event> transcript;
  std::vector<host::Row> rows;  // every row tried, with whether it was delivered
  std::vector<host::Message> messages;
  std::vector<host::Done> dones;
  // For each row, how many command lines the server had received when the
  // procedure sent it.
  std::vector<size_t> linesAtRow;
};

// Runs one call; a call that has not returned after `bound` has hung, and
// the test binary stops at once (FinishWithin). With a server, its log is
// read at every row. `onEvent`, when given, sees every operation as the
// procedure makes it, on the calling thread.
CallRecord RunCall(const host::Library& library, std::vector<host::Param> params,
                   const FakePop3Server* server = nullptr, int failRowsFrom = 0,
                   std::chrono::milliseconds bound = std::chrono::seconds(60),
                   const std::function<void(const host::Event&)>& onEvent = nullptr);

// What must hold for every call, whatever the server did: exactly one done
// status, and before it at most one message, 20001, with the error status
// and return value 1; no operation after the done status. For a call that
// talked to `server` (which must have served nothing else): it made at most
// one connection, which is closed (the server sees its end within a
// generous bound); the deleting READ commands sent DELE n only for a row n
// that was delivered, and only after that row; the other READ commands and
// LIST sent neither DELE nor QUIT; DEL sent no row. Returns the problems
// found, empty when there are none.
std::vector<std::string> CallProblems(const CallRecord& record, const std::string& command,
                                      const FakePop3Server* server);

}  // namespace testing_support

#endif
