// A millisecond tick counter for bounding waits. It wraps; differences are
// taken as unsigned 32-bit values.
#ifndef MAILQUARRY_PLATFORM_CLOCK_H
#define MAILQUARRY_PLATFORM_CLOCK_H

#include <cstdint>

namespace platform {
uint32_t TickCountMs();
}

#endif
