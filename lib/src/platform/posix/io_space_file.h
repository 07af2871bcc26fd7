// A file that stands in for the I/O-port space (WEXLINK_IOSPACE).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>

#include "core/platform.h"

namespace wexlink::posix {

// The environment variable that names the file standing in for the ports.
inline constexpr char kIoSpaceVariable[] = "WEXLINK_IOSPACE";

// A file that stands in for the 64 KiB port space: port p is the byte at
// offset p. Words and double words are little-endian (the x86 order), so
// outport(0x100, 0x1234) writes 34 12 at offsets 0x100 and 0x101. The file is
// created at the first access when missing and extended to 64 KiB; a word or
// double word at the top ports may reach a few bytes beyond. A read beyond the
// end of the file gives zero bytes.
//
// The path comes from the environment, and the process may be root: the file
// is opened without following a symbolic link, close-on-exec, created with mode
// 0600, and used only when it is a regular file with one link owned by the
// effective user. Anything else, or a file that cannot be opened, means no port
// access: writes do nothing and reads give all ones, as an absent port does;
// the first refusal is reported in one line on standard error.
class FileIoSpace final : public WidthIoPorts {
 public:
  static constexpr off_t kSize = 64 * 1024;

  explicit FileIoSpace(std::string path) : path_(std::move(path)) {}
  ~FileIoSpace() override;
  FileIoSpace(const FileIoSpace&) = delete;
  FileIoSpace& operator=(const FileIoSpace&) = delete;

  const std::string& Path() const { return path_; }

 private:
  int Descriptor();
  uint32_t Read(uint16_t port, unsigned width) override;
  void Write(uint16_t port, uint32_t value, unsigned width) override;

  const std::string path_;
  std::mutex openMutex_;
  std::atomic<int> fd_{-1};
  bool refusalReported_ = false;  // under openMutex_
};

}  // namespace wexlink::posix
