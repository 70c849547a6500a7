// Upper-casing where there is no ANSI code page: the process's text is taken
// as single-byte and only the ASCII letters change, so the result does not
// depend on whatever locale the host process has set.
#include "platform/text.h"

namespace platform {

void UpperCaseInPlace(char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (data[i] >= 'a' && data[i] <= 'z') data[i] = static_cast<char>(data[i] - 'a' + 'A');
  }
}

}  // namespace platform
