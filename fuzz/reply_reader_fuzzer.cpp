// Feeds CReplyReader arbitrary server bytes, cut into chunks whose sizes come
// from the input, and checks what must hold whatever a server sends:
//
// - memory stays bounded: the kept body never grows past the caller's limit
//   and the status line never past CReplyReader::kMaxStatusLine, after every
//   single Feed;
// - the reader takes nothing more once the answer is complete or failed;
// - the cutting does not matter: whole, byte by byte, in 512-byte receives
//   and in the input's own chunk sizes, the outcome (state, positivity,
//   status line, kept body, body length, bytes taken) is the same;
// - NUL bytes are dropped one by one, so the input without them gives the
//   same outcome, except for the count of bytes taken;
// - a limited body is the start of the body read without limit, and its
//   length is counted in full;
// - a complete status line ends at its first CR LF, and "+OK" in it is what
//   makes the answer positive;
// - the end marker: the reader removes stuffed dots, so a complete body may
//   itself hold a line that is a lone dot (the server sent ".."). What must
//   hold is that the body is something a server could have sent: stuffed
//   again, with a dot doubled at the start of every line (at the start of
//   the body and after each CR LF, which is where the reader sees a line
//   begin), and framed as on the wire (the status line's CR LF before it,
//   CR LF . CR LF after it), the first end marker in it is the one that
//   closes it. Otherwise the reader would have ended the answer early, or
//   read past its end.
//
// Input layout: byte 0 picks the kind and the body limit; byte 1 gives how
// many chunk sizes follow (low four bits) and whether the rest is repeated
// until it is long enough to reach the status line bound (bit 4); then the
// chunk sizes (0 feeds an empty chunk; a repeated input is cut 257 times
// coarser, so that its runs stay short); the rest is what the server sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pop3/reply_reader.h"

namespace {

using Kind = CReplyReader::Kind;
using State = CReplyReader::State;

constexpr size_t kLimits[] = {0, 1, 2, 5, 16, 100, 8000, CReplyReader::kKeepWholeBody};
constexpr size_t kReceiveSize = 512;
// Repeated input grows past the status line bound by this much.
constexpr size_t kRepeatedLength = CReplyReader::kMaxStatusLine + 4096;
// Inputs up to this length are also cut in two at every offset.
constexpr size_t kEverySplitUpTo = 160;
// Inputs up to this length (all but the repeated ones) are also fed byte by
// byte, in receives, and without their NUL bytes.
constexpr size_t kByteByByteUpTo = 4096;

struct Outcome {
  State state = State::kNeedMore;
  bool positive = false;
  bool statusComplete = false;
  std::string status;
  std::string body;
  uint64_t bodyLength = 0;
  size_t consumed = 0;

  bool SameResult(const Outcome& other) const {
    return state == other.state && positive == other.positive &&
           statusComplete == other.statusComplete && status == other.status &&
           body == other.body && bodyLength == other.bodyLength;
  }
  bool operator==(const Outcome& other) const {
    return SameResult(other) && consumed == other.consumed;
  }
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "reply reader invariant broken: %s\n", what);
  std::abort();
}

void Require(bool holds, const char* what) {
  if (!holds) Fail(what);
}

std::string TextOf(const CText& text) { return std::string(text.Data(), text.Length()); }

// Feeds `input` in chunks of the given sizes (cycled; an empty list feeds it
// whole) until the answer is complete or the input ends, checking the
// bounds after every Feed.
Outcome FeedChunks(Kind kind, size_t limit, const std::string& input,
                   const std::vector<size_t>& sizes) {
  CReplyReader reader(kind, limit);
  Outcome outcome;
  size_t at = 0;
  size_t next = 0;
  bool progress = false;  // a cycle of sizes that are all 0 would never end
  while (at < input.size()) {
    size_t size = input.size() - at;
    if (!sizes.empty()) {
      size = std::min(sizes[next % sizes.size()], input.size() - at);
      progress = progress || size > 0;
      if (++next % sizes.size() == 0 && !progress) size = 1;
    }
    const size_t used = reader.Feed(input.data() + at, size);
    Require(used <= size, "Feed took more than it was given");
    Require(reader.Body().Length() <= limit, "kept body past the caller's limit");
    Require(reader.StatusLine().Length() <= CReplyReader::kMaxStatusLine,
            "status line past its bound");
    Require(reader.Body().Length() == std::min<uint64_t>(limit, reader.BodyLength()),
            "kept body is not the limited part of the counted body");
    outcome.consumed += used;
    if (reader.GetState() != State::kNeedMore) {
      // Complete or failed: nothing more is taken, nothing changes.
      const std::string status = TextOf(reader.StatusLine());
      const size_t kept = reader.Body().Length();
      const State state = reader.GetState();
      if (at + used < input.size()) {
        Require(reader.Feed(input.data() + at + used, input.size() - at - used) == 0,
                "Feed took bytes after the answer");
      }
      Require(reader.GetState() == state && TextOf(reader.StatusLine()) == status &&
                  reader.Body().Length() == kept,
              "a complete answer changed");
      break;
    }
    Require(used == size, "Feed stopped early on an answer that is not complete");
    at += size;
  }
  outcome.state = reader.GetState();
  outcome.positive = reader.Positive();
  outcome.statusComplete = reader.StatusComplete();
  outcome.status = TextOf(reader.StatusLine());
  outcome.body = TextOf(reader.Body());
  outcome.bodyLength = reader.BodyLength();
  return outcome;
}

// The body as a server sends it: a dot doubled at the start of each line.
std::string Restuffed(const std::string& body) {
  std::string wire;
  bool lineStart = true;
  for (size_t i = 0; i < body.size(); ++i) {
    if (lineStart && body[i] == '.') wire += '.';
    wire += body[i];
    lineStart = body[i] == '\n' && i > 0 && body[i - 1] == '\r';
  }
  return wire;
}

void CheckOutcome(Kind kind, size_t limit, const std::string& input, const Outcome& outcome) {
  Require(outcome.status.find('\0') == std::string::npos, "NUL in the status line");
  Require(outcome.body.find('\0') == std::string::npos, "NUL in the body");
  if (outcome.state == State::kFailed) {
    Require(!outcome.statusComplete, "failed after a complete status line");
    Require(outcome.status.size() == CReplyReader::kMaxStatusLine,
            "failed before the status line reached its bound");
    return;
  }
  if (outcome.statusComplete) {
    const size_t crlf = outcome.status.find("\r\n");
    Require(crlf != std::string::npos && crlf + 2 == outcome.status.size(),
            "status line does not end at its first CR LF");
    Require(outcome.positive == (outcome.status.find("+OK") != std::string::npos),
            "positivity is not \"+OK\" in the status line");
  } else {
    Require(outcome.state == State::kNeedMore, "complete without a status line");
    Require(outcome.status.find("\r\n") == std::string::npos, "unfinished status holds CR LF");
  }
  if (kind == Kind::kSingleLine || !outcome.positive) {
    Require(outcome.body.empty() && outcome.bodyLength == 0, "a body without a positive status");
    Require(outcome.state == (outcome.statusComplete ? State::kDone : State::kNeedMore),
            "single-line answer not done at its CR LF");
  }
  if (outcome.state == State::kDone) {
    Require(outcome.consumed > 0 && input[outcome.consumed - 1] == '\n',
            "a complete answer does not end with LF");
  }
  if (outcome.state == State::kDone && kind == Kind::kMultiLine && outcome.positive &&
      limit == CReplyReader::kKeepWholeBody) {
    const std::string framed = "\r\n" + Restuffed(outcome.body) + "\r\n.\r\n";
    Require(framed.find("\r\n.\r\n") == framed.size() - 5,
            "stuffed again, the body holds the end marker");
  }
}

void Check(Kind kind, size_t limit, const std::string& input, const std::vector<size_t>& sizes) {
  const Outcome whole = FeedChunks(kind, limit, input, {});
  CheckOutcome(kind, limit, input, whole);

  // A long (repeated) input is fed only in its own sizes, or in receives when
  // it gives none: each further pass over it would cost more than many short
  // inputs, and they test the same cuts.
  const bool longInput = input.size() > kByteByByteUpTo;
  std::vector<std::vector<size_t>> chunkings = {sizes};
  if (!longInput) {
    chunkings.push_back({1});
    chunkings.push_back({kReceiveSize});
  } else if (sizes.empty()) {
    chunkings.push_back({kReceiveSize});
  }
  for (const std::vector<size_t>& chunking : chunkings) {
    if (chunking.empty()) continue;
    Require(FeedChunks(kind, limit, input, chunking) == whole, "the chunking changed the outcome");
  }
  if (input.size() <= kEverySplitUpTo) {
    for (size_t cut = 1; cut < input.size(); ++cut) {
      Require(FeedChunks(kind, limit, input, {cut, input.size()}) == whole,
              "a split in two changed the outcome");
    }
  }

  if (!longInput) {
    std::string withoutNuls;
    for (const char c : input) {
      if (c != '\0') withoutNuls += c;
    }
    if (withoutNuls.size() != input.size()) {
      Require(FeedChunks(kind, limit, withoutNuls, sizes).SameResult(whole),
              "NUL bytes changed the outcome");
    }
  }

  if (limit != CReplyReader::kKeepWholeBody) {
    const Outcome full = FeedChunks(kind, CReplyReader::kKeepWholeBody, input, sizes);
    Require(full.state == whole.state && full.positive == whole.positive &&
                full.status == whole.status && full.consumed == whole.consumed,
            "the limit changed more than the kept body");
    Require(full.bodyLength == whole.bodyLength, "the limit changed the counted length");
    Require(whole.body == full.body.substr(0, limit), "limited body is not the start of the body");
    CheckOutcome(kind, CReplyReader::kKeepWholeBody, input, full);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const Kind kind = (data[0] & 3) == 3 ? Kind::kSingleLine : Kind::kMultiLine;
  const size_t limit = kLimits[(data[0] >> 2) % (sizeof kLimits / sizeof kLimits[0])];
  const size_t count = data[1] & 0x0F;
  const bool repeat = (data[1] & 0x10) != 0;
  size_t at = 2;
  std::vector<size_t> sizes;
  for (size_t i = 0; i < count && at < size; ++i) {
    sizes.push_back(repeat ? data[at] * size_t{257} : data[at]);
    ++at;
  }

  std::string input(reinterpret_cast<const char*>(data + at), size - at);
  if (repeat && !input.empty()) {
    const std::string once = input;
    while (input.size() < kRepeatedLength) input += once;
  }
  Check(kind, limit, input, sizes);
  return 0;
}
