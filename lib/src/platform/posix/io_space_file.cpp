#include "platform/posix/io_space_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
  // O_NONBLOCK and O_NOCTTY: a FIFO or a terminal planted under the name is
  // neither waited for nor made the controlling terminal before it is refused.
  fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
              0600);
  const char* refusal = nullptr;
  struct stat st {};
  if (fd < 0) {
    refusal = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
  } else if (fstat(fd, &st) != 0) {
    refusal = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    refusal = "it is not a regular file";
  } else if (st.st_uid != geteuid()) {
    refusal = "it belongs to another user";
  } else if (st.st_nlink != 1) {
    // A hard link to someone else's file would pass as ours for root.
    refusal = "it has more than one link";
  }
  if (refusal != nullptr) {
    if (fd >= 0) ::close(fd);
    if (!refusalReported_) {
      refusalReported_ = true;
      std::fprintf(stderr, "wexlink: %s=%s not used (%s): no port access\n", kIoSpaceVariable,
                   path_.c_str(), refusal);
    }
    return -1;
  }
  if (st.st_size < kSize && ftruncate(fd, kSize) != 0) {
    // Still usable: reads beyond the end give zeros, writes extend it.
  }
  fd_.store(fd, std::memory_order_release);
  return fd;
}

uint32_t FileIoSpace::Read(uint16_t port, unsigned width) {
  const int fd = Descriptor();
  uint8_t bytes[4] = {0, 0, 0, 0};
  const ssize_t n = fd < 0 ? -1 : pread(fd, bytes, std::size_t{width}, port);
  if (n < 0) return AllOnes(width);
  // Bytes beyond the end of the file stay 0.
  uint32_t value = 0;
  for (unsigned i = width; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

void FileIoSpace::Write(uint16_t port, uint32_t value, unsigned width) {
  const int fd = Descriptor();
  if (fd < 0) return;
  uint8_t bytes[4];
  for (unsigned i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  if (pwrite(fd, bytes, std::size_t{width}, port) < 0) {
    // Nothing to report: a port write has no result.
  }
}

}  // namespace wexlink::posix
