// Checks the Windows upper-casing against a table of code pages and texts,
// under Wine: single-byte code pages map through their own upper case, a
// double-byte character changes only as a whole (its trail byte is never
// upper-cased alone), and nothing changes its length. Exits 1 and names each
// case that differs.
#include <cstdio>
#include <string>

#include "platform/text.h"
#include "platform/text_win.h"

namespace {

struct Case {
  unsigned codePage;
  const char* input;
  const char* expected;
  const char* what;
};

const Case kCases[] = {
    {1252, "read_top", "READ_TOP", "ASCII letters"},
    {1252, "Read_Del", "READ_DEL", "mixed case, underscore kept"},
    {1252, "\xE9t\xE9", "\xC9T\xC9", "e acute, a letter of the code page"},
    {1252, "\xFF", "\x9F", "y diaeresis, whose upper case lies in 0x80-0x9F"},
    {1252, "\xB5\xDF", "\xB5\xDF", "micro sign and sharp s: no upper case in the code page"},
    {1254, "read", "READ", "Turkish code page: i becomes I, not dotted I"},
    {932, "\x83\x61", "\x83\x61", "Shift-JIS character whose trail byte is 'a'"},
    {932, "read\x83\x61x", "READ\x83\x61X", "letters around a double-byte character"},
    {932, "\x82\x81", "\x82\x60", "full-width a becomes full-width A, as one unit"},
    {932, "\xB1" "a", "\xB1" "A", "half-width katakana is a single byte"},
    {932, "ab\x82", "AB\x82", "lead byte at the end, without its trail byte"},
    {936, "\xA3\xE1", "\xA3\xC1", "GBK full-width a"},
    {936, "\x81\x61z", "\x81\x61Z", "GBK character whose trail byte is 'a'"},
    {1252, "", "", "empty text"},
};

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[4];
  for (const char c : bytes) {
    std::snprintf(two, sizeof two, "%02X ", static_cast<unsigned char>(c));
    out += two;
  }
  return out;
}

}  // namespace

int main() {
  int failures = 0;
  for (const Case& c : kCases) {
    std::string text = c.input;
    if (!text.empty()) platform::UpperCaseInCodePage(&text[0], text.size(), c.codePage);
    if (text != c.expected) {
      std::printf("code page %u, %s: got %s, expected %s\n", c.codePage, c.what,
                  Hex(text).c_str(), Hex(c.expected).c_str());
      ++failures;
    }
  }
  // The procedure's own path, in whatever ANSI code page the system has.
  CText command("read_Top_del");
  command.UpperCase();
  if (!command.Equals("READ_TOP_DEL")) {
    std::printf("system code page: got %s, expected READ_TOP_DEL\n", command.Data());
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}
