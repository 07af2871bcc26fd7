// Whether the serial device a run opened is still there. The library keeps
// polling a device that has gone (every reply is then a miss), so the reader
// watches for it: the path (links followed afresh, as the library follows
// them at each start) gone or naming another device, or the node the run
// opened removed (a USB adapter unplugged, a pty whose other side closed).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace wexread {

class DeviceWatch {
 public:
  explicit DeviceWatch(std::string path) : path_(std::move(path)) {}

  // Right after a start: notes the device the path names and the descriptor
  // this process holds on it.
  void Opened();

  // Why the device is gone, or nothing while it is there.
  std::optional<std::string> Lost() const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool known_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  int descriptor_ = -1;  // the run's descriptor on the device, -1 if not found
};

}  // namespace wexread
