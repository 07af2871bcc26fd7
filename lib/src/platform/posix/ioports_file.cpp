#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/ioports_posix.h"

namespace wexlink::posix {

FileIoSpace::~FileIoSpace() {
  const int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) ::close(fd);
}

int FileIoSpace::Descriptor() {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  std::lock_guard lock(openMutex_);
  fd = fd_.load(std::memory_order_relaxed);
  if (fd >= 0) return fd;
  // Not opened yet, or it could not be: tried again at every access, so a file
  // in a directory that appears later is still found.
  fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < kSize) {
    if (ftruncate(fd, kSize) != 0) {
      // Still usable: reads beyond the end give zeros, writes extend it.
    }
  }
  fd_.store(fd, std::memory_order_release);
  return fd;
}

uint32_t FileIoSpace::Read(uint16_t port, int width) {
  const int fd = Descriptor();
  uint8_t bytes[4] = {0, 0, 0, 0};
  const ssize_t n = fd < 0 ? -1 : pread(fd, bytes, static_cast<std::size_t>(width), port);
  if (n < 0) return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1u;
  // Bytes beyond the end of the file stay 0.
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void FileIoSpace::Write(uint16_t port, uint32_t value, int width) {
  const int fd = Descriptor();
  if (fd < 0) return;
  uint8_t bytes[4];
  for (int i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  if (pwrite(fd, bytes, static_cast<std::size_t>(width), port) < 0) {
    // Nothing to report: a port write has no result.
  }
}

IoPorts& SelectedIoPorts::Target() {
  std::call_once(chosen_, [this] {
    const char* path = std::getenv(kIoSpaceVariable);
    if (path != nullptr && path[0] != '\0') {
      target_ = std::make_unique<FileIoSpace>(path);
    } else {
      target_ = machine_ != nullptr ? machine_() : nullptr;
      if (!target_) target_ = std::make_unique<NoIoPorts>();
    }
  });
  return *target_;
}

}  // namespace wexlink::posix
