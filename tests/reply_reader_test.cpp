// CReplyReader: each answer is fed whole, byte by byte, and split at every
// point into two and into three chunks; every chunking must give the same
// outcome, and that outcome must be the expected one.
#include "pop3/reply_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Kind = CReplyReader::Kind;
using State = CReplyReader::State;

constexpr size_t kWhole = CReplyReader::kKeepWholeBody;

struct Outcome {
  State state = State::kNeedMore;
  bool positive = false;
  std::string status;
  std::string body;
  uint64_t bodyLength = 0;
  size_t consumed = 0;  // bytes Feed took in all, until the answer was complete

  bool operator==(const Outcome& other) const {
    return state == other.state && positive == other.positive && status == other.status &&
           body == other.body && bodyLength == other.bodyLength && consumed == other.consumed;
  }
};

std::string Printable(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out.size() > 120 ? out.substr(0, 120) + "...(" + std::to_string(bytes.size()) + " bytes)"
                          : out;
}

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  const char* states[] = {"kNeedMore", "kDone", "kFailed"};
  return out << "{" << states[static_cast<int>(outcome.state)]
             << (outcome.positive ? " positive" : " negative") << " status \""
             << Printable(outcome.status) << "\" body \"" << Printable(outcome.body)
             << "\" bodyLength " << outcome.bodyLength << " consumed " << outcome.consumed << "}";
}

// Feeds `input` cut at the given offsets (ascending) and reports the outcome.
Outcome FeedCut(Kind kind, size_t limit, const std::string& input, const std::vector<size_t>& cuts) {
  CReplyReader reader(kind, limit);
  Outcome outcome;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(input.size());
  for (const size_t end : ends) {
    const size_t used = reader.Feed(input.data() + from, end - from);
    outcome.consumed += used;
    // Once the answer is complete the reader takes nothing more.
    if (reader.GetState() != State::kNeedMore && used < end - from) {
      EXPECT_EQ(reader.Feed(input.data() + from + used, end - from - used), 0u);
    }
    from = end;
  }
  outcome.state = reader.GetState();
  outcome.positive = reader.Positive();
  outcome.status = reader.StatusLine().Data();
  outcome.body = reader.Body().Data();
  outcome.bodyLength = reader.BodyLength();
  return outcome;
}

// Calls `check` with every chunking of `input` worth trying: whole, byte by
// byte, every two-chunk split, and (for short inputs) every three-chunk
// split. Long inputs get the splits around `interesting` offsets instead.
void ForEveryChunking(const std::string& input, const std::vector<size_t>& interesting,
                      const std::function<void(const std::vector<size_t>&, const char*)>& check) {
  check({}, "whole");
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < input.size(); ++i) everyByte.push_back(i);
  check(everyByte, "byte by byte");
  if (input.size() <= 256) {
    for (size_t i = 1; i < input.size(); ++i) check({i}, "two chunks");
    for (size_t i = 1; i < input.size(); ++i) {
      for (size_t j = i + 1; j < input.size(); ++j) check({i, j}, "three chunks");
    }
    return;
  }
  for (const size_t at : interesting) {
    for (size_t i = at > 3 ? at - 3 : 1; i <= at + 3 && i < input.size(); ++i) {
      check({i}, "two chunks");
      if (i + 1 < input.size()) check({i, i + 1}, "three chunks");
    }
  }
}

struct Case {
  const char* name;
  Kind kind;
  size_t limit;
  std::string input;
  Outcome expected;
  std::vector<size_t> interesting;  // split points to try on long inputs
};

// The whole input is taken.
constexpr size_t kAll = static_cast<size_t>(-1);

Outcome Done(bool positive, std::string status, std::string body, size_t consumed = kAll,
             std::optional<uint64_t> bodyLength = std::nullopt) {
  Outcome outcome;
  outcome.state = State::kDone;
  outcome.positive = positive;
  outcome.status = std::move(status);
  outcome.bodyLength = bodyLength ? *bodyLength : body.size();
  outcome.body = std::move(body);
  outcome.consumed = consumed;
  return outcome;
}

// An answer that is not complete yet: what the reader holds so far.
Outcome Partial(bool positive, std::string status, std::string body = "") {
  Outcome outcome = Done(positive, std::move(status), std::move(body));
  outcome.state = State::kNeedMore;
  return outcome;
}

// A literal with NUL bytes inside.
template <size_t N>
std::string Raw(const char (&bytes)[N]) {
  return std::string(bytes, N - 1);
}

std::vector<Case> Cases() {
  const std::string ten = "0123456789";
  return {
      // Single-line answers end at the first CR LF; what follows is not taken.
      {"positive status", Kind::kSingleLine, 0, "+OK ready\r\n", Done(true, "+OK ready\r\n", ""),
       {}},
      {"negative status", Kind::kSingleLine, 0, "-ERR no such message\r\n",
       Done(false, "-ERR no such message\r\n", ""), {}},
      {"+OK in the middle of the line", Kind::kSingleLine, 0, "* hello +OK there\r\n",
       Done(true, "* hello +OK there\r\n", ""), {}},
      {"+OK only in lower case", Kind::kSingleLine, 0, "+ok\r\n", Done(false, "+ok\r\n", ""), {}},
      {"+OK after the line is the next answer's", Kind::kSingleLine, 0, "-ERR no\r\n+OK\r\n",
       Done(false, "-ERR no\r\n", "", 9), {}},
      {"lone CR inside the status line", Kind::kSingleLine, 0, "+OK a\rb\r\n",
       Done(true, "+OK a\rb\r\n", ""), {}},
      {"NUL bytes in the status line are dropped", Kind::kSingleLine, 0, Raw("+O\0K fine\r\0\n"),
       Done(true, "+OK fine\r\n", ""), {}},
      {"status with no CR LF yet", Kind::kSingleLine, 0, "+OK waiting\r",
       Partial(false, "+OK waiting\r"), {}},

      // Multi-line answers.
      {"message", Kind::kMultiLine, kWhole, "+OK 20 octets\r\nSubject: a\r\n\r\nbody\r\n.\r\n",
       Done(true, "+OK 20 octets\r\n", "Subject: a\r\n\r\nbody"), {}},
      {"empty body: the status CR LF starts the end marker", Kind::kMultiLine, kWhole,
       "+OK\r\n.\r\n", Done(true, "+OK\r\n", ""), {}},
      {"a single empty line", Kind::kMultiLine, kWhole, "+OK\r\n\r\n.\r\n",
       Done(true, "+OK\r\n", ""), {}},
      {"stuffed dots: \"..x\", \"..\" and \"...\"", Kind::kMultiLine, kWhole,
       "+OK\r\n..x\r\n..\r\n...\r\n.\r\n", Done(true, "+OK\r\n", ".x\r\n.\r\n.."), {}},
      {"a lone leading dot is kept", Kind::kMultiLine, kWhole, "+OK\r\n.x\r\na.b\r\n.\r\n",
       Done(true, "+OK\r\n", ".x\r\na.b"), {}},
      {"dot then CR without LF is no end", Kind::kMultiLine, kWhole, "+OK\r\n.\rx\r\n.\r\n",
       Done(true, "+OK\r\n", ".\rx"), {}},
      {"CR CR LF before the dot line", Kind::kMultiLine, kWhole, "+OK\r\na\r\r\n.\r\n",
       Done(true, "+OK\r\n", "a\r"), {}},
      {"almost an end marker inside the body", Kind::kMultiLine, kWhole,
       "+OK\r\na\r\n.\r b\r\n\n.\r\nc\r\n.\r\n", Done(true, "+OK\r\n", "a\r\n.\r b\r\n\n.\r\nc"),
       {}},
      {"NUL bytes dropped one by one, in the end marker too", Kind::kMultiLine, kWhole,
       Raw("+OK\r\nab\0c\0\r\n\0.\0\r\0\n"), Done(true, "+OK\r\n", "abc"), {}},
      {"+OK in the middle of a multi-line status", Kind::kMultiLine, kWhole,
       "* +OK here\r\nx\r\n.\r\n", Done(true, "* +OK here\r\n", "x"), {}},
      {"negative: no body is read", Kind::kMultiLine, kWhole, "-ERR no such message\r\n.\r\n",
       Done(false, "-ERR no such message\r\n", "", 22), {}},
      {"bytes after the end marker are not taken", Kind::kMultiLine, kWhole,
       "+OK\r\nx\r\n.\r\n+OK next\r\n", Done(true, "+OK\r\n", "x", 11), {}},
      {"body not complete yet", Kind::kMultiLine, kWhole, "+OK\r\nabc\r\n.\r",
       Partial(true, "+OK\r\n", "abc\r\n"), {}},

      // The caller's limit: the rest is read and dropped, its length counted.
      {"body cut to the limit", Kind::kMultiLine, 4, "+OK\r\n" + ten + "\r\n.\r\n",
       Done(true, "+OK\r\n", "0123", kAll, 10), {}},
      {"body exactly at the limit", Kind::kMultiLine, 10, "+OK\r\n" + ten + "\r\n.\r\n",
       Done(true, "+OK\r\n", ten), {}},
      {"limit one past the body: the CR LF is not kept", Kind::kMultiLine, 11,
       "+OK\r\n" + ten + "\r\n.\r\n", Done(true, "+OK\r\n", ten), {}},
      {"limit 0 keeps nothing", Kind::kMultiLine, 0, "+OK\r\n..ab\r\n.\r\n",
       Done(true, "+OK\r\n", "", kAll, 3), {}},
  };
}

TEST(ReplyReaderTest, EveryChunkingGivesTheExpectedOutcome) {
  for (Case c : Cases()) {
    SCOPED_TRACE(c.name);
    if (c.expected.consumed == kAll) c.expected.consumed = c.input.size();
    // The first chunking that goes wrong is shown; the others are counted.
    int wrong = 0;
    ForEveryChunking(c.input, c.interesting, [&](const std::vector<size_t>& cuts, const char* how) {
      const Outcome got = FeedCut(c.kind, c.limit, c.input, cuts);
      if (got == c.expected || ++wrong > 1) return;
      std::string at;
      for (const size_t cut : cuts) at += " " + std::to_string(cut);
      ADD_FAILURE() << how << ", cut at" << (cuts.size() > 8 ? " every byte" : at) << "\n got "
                    << got << "\nwant " << c.expected;
    });
    EXPECT_EQ(wrong, 0) << "chunkings that went wrong";
  }
}

// The status line may be 64 KiB long with its CR LF; one byte more fails.
// NUL bytes, being dropped, do not count.
TEST(ReplyReaderTest, StatusLineBound) {
  const size_t bound = CReplyReader::kMaxStatusLine;
  const std::string atBound = "+OK " + std::string(bound - 6, 'x') + "\r\n";
  const std::string pastBound = "+OK " + std::string(bound - 5, 'x') + "\r\n";
  const std::string withNuls = "+OK " + std::string(bound - 6, 'x') + std::string(10, '\0') + "\r\n";
  ASSERT_EQ(atBound.size(), bound);

  struct BoundCase {
    const char* name;
    Kind kind;
    std::string input;
    State state;
  };
  const BoundCase cases[] = {
      {"single-line at the bound", Kind::kSingleLine, atBound, State::kDone},
      {"single-line one past", Kind::kSingleLine, pastBound, State::kFailed},
      {"NUL bytes do not count", Kind::kSingleLine, withNuls, State::kDone},
      {"multi-line at the bound", Kind::kMultiLine, atBound + "x\r\n.\r\n", State::kDone},
      {"multi-line one past", Kind::kMultiLine, pastBound + "x\r\n.\r\n", State::kFailed},
      {"no CR LF at all", Kind::kSingleLine, "+OK " + std::string(3 * bound, 'x'), State::kFailed},
  };
  for (const BoundCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome whole = FeedCut(c.kind, kWhole, c.input, {});
    EXPECT_EQ(whole.state, c.state);
    if (c.state == State::kDone) {
      EXPECT_TRUE(whole.positive);
      EXPECT_EQ(whole.status, atBound);
    }
    ForEveryChunking(c.input, {bound - 2, bound - 1, bound},
                     [&](const std::vector<size_t>& cuts, const char* how) {
                       const Outcome got = FeedCut(c.kind, kWhole, c.input, cuts);
                       EXPECT_EQ(got, whole) << how;
                     });
  }
}

// A body far beyond the limit keeps memory at the limit and counts the rest.
TEST(ReplyReaderTest, LongBodyKeepsOnlyTheLimit) {
  std::string message;
  while (message.size() < 3 * 1024 * 1024) message += "..a stuffed line of the body\r\n";
  std::string wire = "+OK\r\n" + message + ".\r\n";
  // The same message as stored: one dot less at the start of each line.
  std::string stored;
  for (size_t at = 0; at < message.size(); at += 30) stored += message.substr(at + 1, 29);
  stored.resize(stored.size() - 2);

  CReplyReader reader(Kind::kMultiLine, 8000);
  for (size_t at = 0; at < wire.size(); at += 512) {
    reader.Feed(wire.data() + at, std::min<size_t>(512, wire.size() - at));
  }
  ASSERT_EQ(reader.GetState(), State::kDone);
  EXPECT_EQ(reader.Body().Length(), 8000u);
  EXPECT_EQ(std::string(reader.Body().Data()), stored.substr(0, 8000));
  EXPECT_EQ(reader.BodyLength(), stored.size());
}

}  // namespace
