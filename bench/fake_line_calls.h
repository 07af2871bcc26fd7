// The four calls a tick makes into the serial device when a reply is waiting
// (write the request, ask for the queue twice, read), for measuring a fake
// device on its own.
#pragma once

#include <cstdint>

#include "core/platform.h"

namespace wexlink::bench {

int32_t MakeTickCalls(SerialDevice& line, const uint8_t* request, uint8_t* received);

}  // namespace wexlink::bench
