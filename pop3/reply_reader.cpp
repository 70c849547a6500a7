#include "pop3/reply_reader.h"

#include <cstring>

CReplyReader::CReplyReader(Kind kind, size_t bodyLimit) : m_kind(kind), m_bodyLimit(bodyLimit) {}

size_t CReplyReader::Feed(const char* data, size_t length) {
  size_t used = 0;
  while (used < length && m_state == State::kNeedMore) {
    if (m_phase == Phase::kStatus) {
      used += FeedStatus(data + used, length - used);
    } else {
      used += FeedBody(data + used, length - used);
    }
  }
  return used;
}

size_t CReplyReader::FeedStatus(const char* data, size_t length) {
  size_t i = 0;
  while (i < length) {
    const char byte = data[i++];
    if (byte == '\0') continue;
    if (m_status.Length() >= kMaxStatusLine) {
      m_state = State::kFailed;
      return i;
    }
    m_status.Append(&byte, 1);
    if (m_statusCr && byte == '\n') {
      FinishStatus();
      return i;
    }
    m_statusCr = byte == '\r';
  }
  return i;
}

void CReplyReader::FinishStatus() {
  m_positive = m_status.Find("+OK") != CText::npos;
  if (m_kind == Kind::kSingleLine || !m_positive) {
    m_phase = Phase::kEnd;
    m_state = State::kDone;
    return;
  }
  // The status line's CR LF counts as the end of a line, so a body whose
  // first line is the dot line is empty.
  m_phase = Phase::kBody;
  m_line = Line::kStart;
}

size_t CReplyReader::FeedBody(const char* data, size_t length) {
  size_t i = 0;
  while (i < length) {
    const char byte = data[i];
    if (byte == '\0') {
      ++i;
      continue;
    }
    switch (m_line) {
      case Line::kMiddle: {
        // The common case: copy the run of ordinary bytes in one step.
        const void* cr = std::memchr(data + i, '\r', length - i);
        size_t end = cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - data) : length;
        const void* zero = std::memchr(data + i, '\0', end - i);
        if (zero != nullptr) end = static_cast<size_t>(static_cast<const char*>(zero) - data);
        Emit(data + i, end - i);
        i = end;
        if (i < length && data[i] == '\r') {
          Emit("\r", 1);
          m_line = Line::kCr;
          ++i;
        }
        continue;
      }
      case Line::kCr:
        Emit(&byte, 1);
        m_line = byte == '\n' ? Line::kStart : byte == '\r' ? Line::kCr : Line::kMiddle;
        break;
      case Line::kStart:
        if (byte == '.') {
          m_line = Line::kDot;  // held back: stuffing, the dot line, or a lone dot
        } else {
          Emit(&byte, 1);
          m_line = byte == '\r' ? Line::kCr : Line::kMiddle;
        }
        break;
      case Line::kDot:
        if (byte == '\r') {
          m_line = Line::kDotCr;
        } else if (byte == '.') {
          Emit(".", 1);  // a stuffed dot: keep one of the two
          m_line = Line::kMiddle;
        } else {
          Emit(".", 1);  // an unstuffed leading dot: keep it as it came
          Emit(&byte, 1);
          m_line = Line::kMiddle;
        }
        break;
      case Line::kDotCr:
        if (byte == '\n') {
          Finish();
          return i + 1;
        }
        Emit(".\r", 2);
        Emit(&byte, 1);
        m_line = byte == '\r' ? Line::kCr : Line::kMiddle;
        break;
    }
    ++i;
  }
  return i;
}

void CReplyReader::Emit(const char* data, size_t length) {
  m_bodyLength += length;
  const size_t kept = m_body.Length();
  if (kept >= m_bodyLimit) return;
  const size_t room = m_bodyLimit - kept;
  m_body.Append(data, length < room ? length : room);
}

void CReplyReader::Finish() {
  // The CR LF before the dot line ends the last line; it is not part of the
  // message. It was emitted, since the dot line can only follow a CR LF.
  if (m_bodyLength >= 2) {
    m_bodyLength -= 2;
    if (m_body.Length() > m_bodyLength) m_body.Truncate(static_cast<size_t>(m_bodyLength));
  }
  m_phase = Phase::kEnd;
  m_state = State::kDone;
}
