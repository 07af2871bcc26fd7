#include "device_watch.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace wexread {

void DeviceWatch::Opened() {
  known_ = false;
  descriptor_ = -1;
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return;
  known_ = true;
  device_ = st.st_rdev;
  inode_ = st.st_ino;
  // The library's descriptor: the one on this device node.
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return;
  const int own = ::dirfd(fds);
  while (const dirent* entry = ::readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    struct stat held {};
    if (::fstat(static_cast<int>(fd), &held) == 0 && S_ISCHR(held.st_mode) &&
        held.st_rdev == device_ && held.st_ino == inode_) {
      descriptor_ = static_cast<int>(fd);
      break;
    }
  }
  ::closedir(fds);
}

std::optional<std::string> DeviceWatch::Lost() const {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return path_ + " is gone";
    return path_ + " cannot be looked at: " + std::strerror(errno);
  }
  if (!known_) return std::nullopt;
  if (!S_ISCHR(st.st_mode) || st.st_rdev != device_ || st.st_ino != inode_)
    return path_ + " now names another device";
  if (descriptor_ >= 0) {
    // A node removed while held reads "... (deleted)".
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor_);
    char target[512];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n > 0) {
      const std::string held(target, static_cast<std::size_t>(n));
      constexpr std::string_view kDeleted = " (deleted)";
      if (held.size() > kDeleted.size() && held.ends_with(kDeleted))
        return path_ + " was removed (unplugged)";
    }
  }
  return std::nullopt;
}

}  // namespace wexread
