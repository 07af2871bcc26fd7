#include "output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wexread {
namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes everything, going on after a signal unless it asked to stop.
// -1 with errno on failure; -2 when a stop signal interrupted it.
int WriteAll(int fd, const char* data, std::size_t size,
             const volatile std::sig_atomic_t* stopSignal) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor handed over non-blocking: wait until it takes more.
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return -1;
      if (stopSignal != nullptr && *stopSignal != 0) return -2;
      continue;
    }
    if (n < 0) {
      if (errno != EINTR) return -1;
      if (stopSignal != nullptr && *stopSignal != 0) return -2;
      continue;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int OpenAppending(const std::string& path, bool& isNew) {
  // O_NOFOLLOW: a link planted under the name cannot redirect the rows of a
  // wexread that runs with more rights than the one who planted it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == ELOOP) throw OutputError(path + ": a symbolic link; name the file itself");
    throw OutputError(SystemError(path));
  }
  struct stat st {};
  isNew = true;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) isNew = st.st_size == 0;
  return fd;
}

}  // namespace

Sink::Sink(const std::string& path, const volatile std::sig_atomic_t* stopSignal)
    : stopSignal_(stopSignal) {
  if (path.empty()) {
    name_ = "standard output";
    isTerminal_ = isatty(fd_) == 1;
    return;
  }
  name_ = path;
  path_ = path;
  fd_ = OpenAppending(path, isNew_);
  ownsFd_ = true;
  isTerminal_ = isatty(fd_) == 1;
}

bool Sink::Reopen() {
  if (!ownsFd_) return false;
  bool isNew = true;
  const int fd = OpenAppending(path_, isNew);
  ::close(fd_);
  fd_ = fd;
  isNew_ = isNew;
  isTerminal_ = isatty(fd_) == 1;
  return true;
}

Sink::~Sink() {
  if (ownsFd_) ::close(fd_);
}

Sink::Result Sink::Write(const std::string& text) {
  const int result = WriteAll(fd_, text.data(), text.size(), stopSignal_);
  if (result == -2) return Result::Interrupted;
  if (result < 0) {
    if (errno == EPIPE) return Result::ReaderGone;
    throw OutputError(SystemError("writing " + name_));
  }
  return Result::Written;
}

StatusLine::StatusLine(bool enabled) : enabled_(enabled) {}

void StatusLine::Show(const std::string& text) {
  if (!enabled_) return;
  text_ = "\r" + text + "\x1b[K";
  WriteAll(2, text_.data(), text_.size(), nullptr);
  shown_ = true;
}

void StatusLine::Clear() {
  if (!enabled_ || !shown_) return;
  static const char kClear[] = "\r\x1b[K";
  WriteAll(2, kClear, sizeof kClear - 1, nullptr);
  shown_ = false;
}

void StatusLine::Finish() {
  if (!enabled_ || text_.empty()) return;
  if (!shown_) WriteAll(2, text_.data(), text_.size(), nullptr);
  WriteAll(2, "\n", 1, nullptr);
  shown_ = false;
}

void WriteFileAtomically(const std::string& path, const std::string& content) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // Hidden and not ending in .prom: the collector never reads a half-written one.
  const std::string temporary = folder + "." + base + "." + std::to_string(getpid()) + ".tmp";
  int fd = -1;
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST && attempt == 0) ::unlink(temporary.c_str());
  }
  if (fd < 0) throw OutputError(SystemError(path + " (writing " + temporary + ")"));
  const int written = WriteAll(fd, content.data(), content.size(), nullptr);
  const int savedErrno = errno;
  if (::close(fd) != 0 || written != 0) {
    errno = written != 0 ? savedErrno : errno;
    const std::string message = SystemError("writing " + temporary);
    ::unlink(temporary.c_str());
    throw OutputError(message);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string message = SystemError("renaming " + temporary + " to " + path);
    ::unlink(temporary.c_str());
    throw OutputError(message);
  }
}

}  // namespace wexread
