#include "serial_diagnosis.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace wexdiag {
namespace {

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string UserName(uid_t uid) {
  const passwd* p = ::getpwuid(uid);
  return p != nullptr ? p->pw_name : std::to_string(uid);
}

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a character device";
}

// "PID 1234 (minicom)" for every other process with a descriptor on the
// device; "" when none is visible to this user.
std::string Holders(dev_t device) {
  std::string out;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return out;
  const pid_t self = ::getpid();
  unsigned found = 0;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid == self) continue;
    const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) continue;  // another user's, or gone
    bool holds = false;
    while (const dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      struct stat st {};
      if (::stat((fdDir + '/' + fd->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
          st.st_rdev == device) {
        holds = true;
        break;
      }
    }
    ::closedir(fds);
    if (!holds) continue;
    std::string comm;
    std::ifstream("/proc/" + std::string(entry->d_name) + "/comm") >> comm;
    if (found++ > 0) out += ", ";
    out += "PID " + std::string(entry->d_name) + " (" + (comm.empty() ? "?" : comm) + ")";
  }
  ::closedir(proc);
  return out;
}

}  // namespace

std::string DiagnoseSerialOpen(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int error = errno;
    struct stat link {};
    if (error == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char target[512];
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
      const std::string to = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
      return path + " does not exist (a link to " + to + ", which is not there)";
    }
    if (error == ENOENT || error == ENOTDIR) return path + " does not exist";
    if (error == EACCES) return "permission denied: " + path + " cannot be looked up by this user";
    return path + ": " + std::strerror(error);
  }
  if (!S_ISCHR(st.st_mode)) return path + " is not a serial device (" + KindOf(st.st_mode) + ")";

  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const std::string owner = UserName(st.st_uid) + ":" + GroupName(st.st_gid);

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM)
      return "permission denied: join the group " + GroupName(st.st_gid) + " (" + path + " is " +
             owner + ", mode " + mode + ")";
    if (error == EBUSY) {
      const std::string holders = Holders(st.st_rdev);
      return "busy: " + (holders.empty() ? std::string("held for exclusive use by a process of "
                                                       "another user")
                                         : "held by " + holders);
    }
    if (error == ENXIO || error == ENODEV || error == EIO)
      return path + " names no device that is there now (" + std::strerror(error) + ")";
    return path + ": " + std::strerror(error);
  }
  termios settings{};
  const bool isTerminal = ::tcgetattr(fd, &settings) == 0;
  ::close(fd);
  if (!isTerminal) return path + " is not a serial device (a character device but no terminal)";
  // It opens here: someone else may hold it in exclusive mode, which this
  // process (with CAP_SYS_ADMIN) passes by.
  const std::string holders = Holders(st.st_rdev);
  if (!holders.empty()) return "busy: held by " + holders;
  return path + " opens now; it may have been busy or missing a moment ago";
}

}  // namespace wexdiag
