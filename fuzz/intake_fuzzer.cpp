// Calls the procedure's entry, mailquarry, through the embedded host with
// parameters made from the input: any count, type codes, lengths (negative
// and huge ones included), values present or absent, any bytes. What must
// hold for every call:
//
// - no crash, no memory error, no undefined behaviour (the build has the
//   address and undefined-behaviour sanitizers);
// - the host hands out exactly as many readable bytes as it reports (none
//   past 512), so a read beyond a value is caught;
// - the procedure asks for the parameter count first and sends nothing after
//   its done status;
// - every call fails here (see below), with exactly one message, number
//   20001, of one of the procedure's own texts, then exactly one done status
//   with the error flag and count 0, and the procedure returns 1.
//
// No call may reach the network. A call whose five parameters all pass would
// log in to the server it names, and a name would go to the machine's
// resolver. So whenever parameter 5 is a four-byte value, its sign bit is
// set: such a call always stops at the last check, "Parameter 5 can not be
// negative.", after every other check has run on the fuzzed values. The
// fuzzer also runs inside a private network namespace with only loopback up,
// and a call that gets as far as describing the result columns aborts it.
//
// Input layout: byte 0 gives the parameter count (0 to 7); each parameter
// then takes a type byte, a length byte and, where the length says so, its
// value bytes (see ReadParam).
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/call.h"
#include "platform/ods.h"
#include "procedure/messages.h"

extern "C" int mailquarry(SRV_PROC* srvproc);

namespace {

// Most readable bytes the host gives for one value.
constexpr int kMostReadable = 512;

const int kTypes[] = {SRVVARCHAR, SRVCHAR, SRVINTN, SRVINT4, SRVBIGVARCHAR, 0, -1, 0x7FFF};
const int kEdgeLengths[] = {0, 1, 3, 4, 5, 510, 511, 512, 513, 8000, -1, INT_MIN, INT_MAX, 65536};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_at >= m_size; }
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  // `count` bytes; when the input runs out, the last byte given is repeated,
  // so that short inputs still make long values.
  std::string Bytes(size_t count) {
    std::string bytes;
    char filler = 'a';
    while (bytes.size() < count) {
      if (m_at < m_size) filler = static_cast<char>(m_data[m_at++]);
      bytes += filler;
    }
    return bytes;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

// The type byte: below 0xF0 one of kTypes, otherwise the next byte as the
// code itself. The length byte: its low two bits pick how the value is made,
// the rest gives a size.
host::Param ReadParam(Input& input) {
  host::Param param;
  const uint8_t typeByte = input.Byte();
  param.type = typeByte < 0xF0 ? kTypes[typeByte % (sizeof kTypes / sizeof kTypes[0])]
                               : input.Byte();
  const uint8_t lengthByte = input.Byte();
  const int pick = lengthByte >> 2;
  switch (lengthByte & 3) {
    case 0:  // a value of 0 to 63 bytes, its true length
      param.length = pick;
      break;
    case 1:  // a value of 0 to 1023 bytes, its true length
      param.length = pick << 4 | (input.Byte() & 0x0F);
      break;
    case 2:  // an edge length
      param.length = kEdgeLengths[pick % (sizeof kEdgeLengths / sizeof kEdgeLengths[0])];
      break;
    case 3:  // an edge length and no data at all (NULL)
      param.length = kEdgeLengths[pick % (sizeof kEdgeLengths / sizeof kEdgeLengths[0])];
      return param;
  }
  param.hasData = true;
  const int readable = param.length < 0 ? 0 : param.length > kMostReadable ? kMostReadable
                                                                             : param.length;
  param.bytes = input.Bytes(static_cast<size_t>(readable));
  return param;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "intake invariant broken: %s\n", what);
  std::abort();
}

void Require(bool holds, const char* what) {
  if (!holds) Fail(what);
}

bool IsProcedureText(const std::string& text) {
  const char* const texts[] = {
      messages::kUsage,    messages::kWrongType,      messages::kTooLong,
      messages::kEmpty[0], messages::kEmpty[1],       messages::kEmpty[2],
      messages::kNull,     messages::kUserLineBreak,  messages::kPasswordLineBreak,
      messages::kNegative, messages::kWrongCommand,
  };
  for (const char* known : texts) {
    if (text == known) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const int count = input.Byte() % 8;
  std::vector<host::Param> params;
  for (int i = 0; i < count; ++i) params.push_back(ReadParam(input));
  // Keeps every call away from the network (see the top of this file).
  if (params.size() == 5 && params[4].hasData && params[4].length == 4) {
    params[4].bytes[3] = static_cast<char>(params[4].bytes[3] | 0x80);
  }

  host::Call call(params);
  const int returned = mailquarry(call.Handle());

  const std::vector<host::Event>& events = call.Transcript();
  Require(!events.empty() && events.front().op == "srv_rpcparams", "parameter count not asked first");
  for (const host::Event& event : events) {
    Require(event.op != "srv_describe", "a call got past the intake");
    Require(event.op != "srv_sendrow", "a row without a login");
  }
  Require(returned == XP_ERROR, "a call that cannot pass returned success");
  Require(call.Messages().size() == 1, "not exactly one message");
  const host::Message& message = call.Messages().front();
  Require(message.type == SRV_MSG_ERROR && message.number == 20001 && message.msgClass == 1 &&
              message.state == 1 && message.line == 304,
          "the message is not error 20001 from line 304");
  Require(IsProcedureText(message.text), "the message is none of the procedure's texts");
  Require(call.Dones().size() == 1, "not exactly one done status");
  const host::Done& done = call.Dones().front();
  Require(done.status == (SRV_DONE_MORE | SRV_DONE_ERROR) && done.info == 0 && done.count == 0,
          "the done status is not the error status");
  Require(events.size() >= 2 && events[events.size() - 2].op == "srv_sendmsg" &&
              events.back().op == "srv_senddone",
          "the message and the done status are not the last operations");
  return 0;
}
