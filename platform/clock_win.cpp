#include "platform/clock.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace platform {

// Milliseconds since the system started; wraps after 49.7 days, which the
// unsigned differences of the callers absorb.
uint32_t TickCountMs() { return static_cast<uint32_t>(GetTickCount()); }

}  // namespace platform
