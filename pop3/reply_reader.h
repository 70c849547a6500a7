// Reads one POP3 answer from the bytes it is fed, in chunks of any size, and
// says what it found. It never touches a socket: the session receives and
// feeds, so the framing can be tested byte by byte and fuzzed.
//
// A single-line answer is complete at the first CR LF. A multi-line answer
// has a status line and, when that is positive, a body that ends with a line
// holding only a dot. The body comes back as the message stored: without the
// CR LF before the dot line, with a stuffed leading dot removed ("..x" at the
// start of a line is ".x"). NUL bytes are dropped wherever they stand; every
// other byte is kept. Only the first `bodyLimit` bytes of the body are kept,
// the rest is counted and dropped, so memory does not grow with the message.
#ifndef MAILQUARRY_POP3_REPLY_READER_H
#define MAILQUARRY_POP3_REPLY_READER_H

#include <cstddef>
#include <cstdint>

#include "platform/text.h"

class CReplyReader {
 public:
  enum class Kind { kSingleLine, kMultiLine };
  enum class State {
    kNeedMore,  // the answer is not complete yet
    kDone,      // complete; see Positive(), StatusLine() and Body()
    kFailed     // the status line grew past kMaxStatusLine without CR LF
  };

  // The longest status line accepted, CR LF included.
  static constexpr size_t kMaxStatusLine = 64 * 1024;
  static constexpr size_t kKeepWholeBody = static_cast<size_t>(-1);

  CReplyReader(Kind kind, size_t bodyLimit);

  // Takes bytes of the answer. Returns how many were used: all of them,
  // unless the answer was completed (or failed) before the end of `data`;
  // what follows belongs to no answer that was asked for.
  size_t Feed(const char* data, size_t length);

  State GetState() const { return m_state; }
  // True when the status line contains "+OK"; valid once it is complete.
  bool Positive() const { return m_positive; }
  bool StatusComplete() const { return m_phase != Phase::kStatus; }
  // The status line with its CR LF.
  const CText& StatusLine() const { return m_status; }
  // The kept part of the body (complete once the state is kDone).
  const CText& Body() const { return m_body; }
  // The length of the whole body, kept or not.
  uint64_t BodyLength() const { return m_bodyLength; }

 private:
  enum class Phase { kStatus, kBody, kEnd };
  // Where the body scan stands relative to line starts and the dot line.
  enum class Line { kMiddle, kCr, kStart, kDot, kDotCr };

  size_t FeedStatus(const char* data, size_t length);
  size_t FeedBody(const char* data, size_t length);
  void FinishStatus();
  void Emit(const char* data, size_t length);
  void Finish();

  Kind m_kind;
  size_t m_bodyLimit;
  State m_state = State::kNeedMore;
  Phase m_phase = Phase::kStatus;
  Line m_line = Line::kStart;
  bool m_positive = false;
  bool m_statusCr = false;
  CText m_status;
  CText m_body;
  uint64_t m_bodyLength = 0;
};

#endif
