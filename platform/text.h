// The text buffer that holds every parameter, protocol line, answer and
// message: a growable byte string in the process's code page, with an
// explicit length and a terminating zero, never holding a zero byte inside.
#ifndef MAILQUARRY_PLATFORM_TEXT_H
#define MAILQUARRY_PLATFORM_TEXT_H

#include <cstddef>
#include <string>

class CText {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  CText() = default;
  // Takes the bytes up to the first zero byte.
  explicit CText(const char* zeroTerminated);

  const char* Data() const { return m_bytes.c_str(); }
  size_t Length() const { return m_bytes.size(); }
  bool Empty() const { return m_bytes.empty(); }

  // Replace or extend the text with at most `length` bytes of `data`,
  // stopping before the first zero byte. Failing to get memory throws.
  void Assign(const char* data, size_t length);
  void Append(const char* data, size_t length);
  void Clear() { m_bytes.clear(); }
  void Truncate(size_t length);
  // Keeps the `count` bytes that begin at `start`, clipped to the text.
  void Keep(size_t start, size_t count);

  // Position of the first occurrence of `pattern` at or after `from`.
  // Every pattern the system searches for begins with a byte below 0x40,
  // which no double-byte code page uses as a trail byte, so a byte search
  // never matches inside a double-byte character.
  size_t Find(const char* pattern, size_t from = 0) const;
  // Position of the last occurrence of `byte` (below 0x40, as above).
  size_t FindLast(char byte) const;
  // Byte equality with a keyword, nothing ignored.
  bool Equals(const char* keyword) const;
  bool StartsWith(const char* prefix) const;

  // Upper-cases in place in the system's code page; the length stays.
  void UpperCase();

 private:
  std::string m_bytes;
};

namespace platform {
// Upper-cases `length` bytes in place in the system's code page, treating a
// double-byte character as one unit. One implementation per platform.
void UpperCaseInPlace(char* data, size_t length);
}  // namespace platform

#endif
