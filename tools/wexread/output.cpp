#include "output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>

namespace wexread {
namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// Writes everything, going on after a signal unless it asked to stop.
// -1 with errno on failure; -2 when a stop signal came before anything was
// written. After part was written a stop leaves `finishMs` for the rest
// (written in pieces a full pipe takes without blocking), then -2.
// `written` counts the bytes that went out.
int WriteAll(int fd, const char* data, std::size_t size,
             const volatile std::sig_atomic_t* stopSignal, std::size_t* written = nullptr,
             int finishMs = 0) {
  using Clock = std::chrono::steady_clock;
  std::size_t done = 0;
  std::optional<Clock::time_point> finishBy;
  const auto stopping = [&] { return stopSignal != nullptr && *stopSignal != 0; };
  while (done < size) {
    if (stopping() && !finishBy) {
      if (done == 0) return -2;
      finishBy = Clock::now() + std::chrono::milliseconds(finishMs);
    }
    std::size_t chunk = size - done;
    if (finishBy) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*finishBy - Clock::now());
      pollfd p{fd, POLLOUT, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
        if (written != nullptr) *written = done;
        return -2;
      }
      chunk = std::min<std::size_t>(chunk, PIPE_BUF);
    }
    const ssize_t n = ::write(fd, data + done, chunk);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor handed over non-blocking: wait until it takes more.
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, finishBy ? 10 : -1) < 0 && errno != EINTR) break;
      continue;
    }
    if (n < 0) {
      if (errno == EINTR) continue;  // the loop's head looks at the stop flag
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (written != nullptr) *written = done;
  return done == size ? 0 : -1;
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
  OpenFile();
  ownsFd_ = true;
  isTerminal_ = isatty(fd_) == 1;
}

// Opens path_ for appending rows and learns what the file holds.
void Sink::OpenFile() {
  pending_.clear();
  isRegular_ = false;
  isNew_ = true;
  wholeSize_ = 0;
  // O_NOFOLLOW: a link planted under the name cannot redirect the rows of a
  // wexread that runs with more rights than the one who planted it.
  // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of
  // blocking in open, where no stop signal could end the wait.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
               0644);
  if (fd_ < 0) {
    if (errno == ELOOP) throw OutputError(path_ + ": a symbolic link; name the file itself");
    if (errno == ENXIO) throw OutputError(path_ + ": a FIFO with no reader; start the reader first");
    throw OutputError(SystemError(path_));
  }
  const int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0) fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  struct stat st {};
  if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
    isRegular_ = true;
    isNew_ = st.st_size == 0;
    wholeSize_ = st.st_size;
    // A run that ended on a full disk or a crash may have left a cut-off
    // line: the first row starts on a line of its own.
    // (Read through a descriptor of its own: this one may only write.)
    char last = '\n';
    const int reader =
        st.st_size > 0 ? ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    struct stat again {};
    if (reader >= 0 && fstat(reader, &again) == 0 && again.st_ino == st.st_ino &&
        again.st_dev == st.st_dev && ::pread(reader, &last, 1, st.st_size - 1) == 1 && last != '\n')
      pending_ = "\n";
    if (reader >= 0) ::close(reader);
  }
}

bool Sink::Reopen() {
  if (!ownsFd_) return false;
  const int old = fd_;
  const bool regular = isRegular_, isNew = isNew_;
  const off_t wholeSize = wholeSize_;
  std::string pending = pending_;
  try {
    OpenFile();
  } catch (...) {
    fd_ = old;
    isRegular_ = regular;
    isNew_ = isNew;
    wholeSize_ = wholeSize;
    pending_ = std::move(pending);
    throw;
  }
  ::close(old);
  isTerminal_ = isatty(fd_) == 1;
  return true;
}

Sink::~Sink() {
  if (ownsFd_) ::close(fd_);
}

Sink::Result Sink::Write(const std::string& text) {
  const std::string* out = &text;
  std::string joined;
  if (!pending_.empty()) {
    joined = pending_ + text;
    out = &joined;
  }
  std::size_t written = 0;
  const int result = WriteAll(fd_, out->data(), out->size(), stopSignal_, &written, kFinishMs);
  const int savedErrno = errno;
  if (result == 0) {
    pending_.clear();
    wholeSize_ += static_cast<off_t>(out->size());
    return Result::Written;
  }
  // Part of a row, or none: a file goes back to its last whole row.
  if (written != 0 && isRegular_ && ::ftruncate(fd_, wholeSize_) != 0) {
    // Nothing more can be done here: the error below says why we stopped.
  }
  if (result == -2) return Result::Interrupted;
  if (savedErrno == EPIPE) return Result::ReaderGone;
  errno = savedErrno;
  throw OutputError(SystemError("writing " + name_));
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
