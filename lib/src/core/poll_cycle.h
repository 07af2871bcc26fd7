// The limits of one poll step. The step itself is Driver::PollNextModule
// (poll_cycle.cpp); what it says on the serial line is in protocol.h.
#pragma once

#include <cstdint>

#include "protocol.h"

namespace wexlink {

// Missed-reply counts are held at this ceiling so that an 8-bit count never wraps.
inline constexpr int8_t kMissCountCeiling = 125;

// The most bytes one poll step takes in. A module reply is 22 bytes; anything
// longer is a miss whatever it holds, so a flood of stray bytes is read in
// pieces of this size instead of growing the receive buffer without bound.
inline constexpr int32_t kReadLimit = 64 * 1024;

}  // namespace wexlink
