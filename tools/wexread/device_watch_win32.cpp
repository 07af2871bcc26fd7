// On Windows the library opens the port by number and no path can be watched:
// a port that goes away (a USB adapter unplugged) shows as every module
// falling silent, which restarts the run after the silence limit.
#include "device_watch.h"

namespace wexread {

void DeviceWatch::Opened() { known_ = true; }

std::optional<std::string> DeviceWatch::Lost() const { return std::nullopt; }

}  // namespace wexread
