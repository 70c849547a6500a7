// Upper-casing in the system's ANSI code page, which Windows fixes when the
// process starts. The text is walked one character at a time: a lead byte
// and its trail byte form one character, so a trail byte that happens to be
// an ASCII letter (as in Shift-JIS) is never changed on its own. Each
// character goes to UTF-16, is upper-cased with the invariant locale's
// mapping (the same on every system: "read" becomes "READ" under a Turkish
// locale too), and comes back only when its upper case exists in the code
// page with the same number of bytes. Anything else (no upper case, a
// best-fit substitute, a lead byte without its trail byte, a byte that is
// not a character of the code page) stays as it is, so the length never
// changes and no byte is lost.
#include "platform/text.h"
#include "platform/text_win.h"

#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace platform {
namespace {

void UpperCaseCharacter(char* bytes, int size, unsigned codePage) {
  wchar_t wide[2];
  if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, size, wide, 2) != 1) return;
  wchar_t upper[2];
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide, 1, upper, 2) != 1) return;
  if (upper[0] == wide[0]) return;
  char converted[4];
  const int convertedSize =
      WideCharToMultiByte(codePage, 0, upper, 1, converted, sizeof converted, nullptr, nullptr);
  if (convertedSize != size) return;
  // A character the code page lacks comes back as a substitute; only an
  // exact round trip is the upper case.
  wchar_t back[2];
  if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, converted, convertedSize, back, 2) != 1 ||
      back[0] != upper[0]) {
    return;
  }
  std::memcpy(bytes, converted, static_cast<size_t>(size));
}

}  // namespace

void UpperCaseInCodePage(char* data, size_t length, unsigned codePage) {
  size_t at = 0;
  while (at < length) {
    const bool lead = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(data[at])) != FALSE;
    const size_t size = lead ? 2 : 1;
    if (at + size > length) return;  // a lead byte cut off from its trail byte
    UpperCaseCharacter(data + at, static_cast<int>(size), codePage);
    at += size;
  }
}

void UpperCaseInPlace(char* data, size_t length) { UpperCaseInCodePage(data, length, CP_ACP); }

}  // namespace platform
