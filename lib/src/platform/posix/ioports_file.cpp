#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/ioports_posix.h"

namespace wexlink::posix {

std::optional<PortRange> ParseGrantedPorts(std::string_view text) {
  // ioperm reaches ports 0 to 0x3FF only.
  constexpr unsigned kHighestPort = 0x3FF;
  const auto number = [](std::string_view digits) -> std::optional<unsigned> {
    if (digits.empty() || digits.size() > 4 || (digits.size() > 1 && digits[0] == '0')) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > kHighestPort) return std::nullopt;
    return value;
  };
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = number(text.substr(0, dash));
  const auto last = number(text.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return PortRange{static_cast<uint16_t>(*first), static_cast<uint16_t>(*last)};
}

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
    const char* path = secure_getenv(kIoSpaceVariable);
    if (path != nullptr && path[0] != '\0') {
      target_ = std::make_unique<FileIoSpace>(path);
      return;
    }
    std::unique_ptr<IoPorts> machine = machine_ != nullptr ? machine_() : nullptr;
    if (!machine) machine = std::make_unique<NoIoPorts>();
    const char* claim = secure_getenv(kGrantedPortsVariable);
    if (claim != nullptr && claim[0] != '\0') {
      const auto granted = ParseGrantedPorts(claim);
      std::unique_ptr<IoPorts> instructions =
          granted && instructions_ != nullptr ? instructions_() : nullptr;
      if (instructions) {
        target_ =
            std::make_unique<GrantedIoPorts>(*granted, std::move(instructions), std::move(machine));
        return;
      }
      // The value is not echoed: it may hold anything.
      std::fprintf(stderr, "wexlink: %s ignored: %s\n", kGrantedPortsVariable,
                   granted ? "no port instructions on this machine"
                           : "not of the form FIRST-LAST with ports 0 to 1023");
    }
    target_ = std::move(machine);
  });
  return *target_;
}

}  // namespace wexlink::posix
