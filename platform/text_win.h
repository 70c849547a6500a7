// Upper-casing in a given Windows code page. The procedure always uses the
// system's ANSI code page (UpperCaseInPlace); the code page is a parameter
// so that the double-byte rules can be checked on any system.
#ifndef MAILQUARRY_PLATFORM_TEXT_WIN_H
#define MAILQUARRY_PLATFORM_TEXT_WIN_H

#include <cstddef>

namespace platform {
void UpperCaseInCodePage(char* data, size_t length, unsigned codePage);
}

#endif
