#include "platform/posix/notify_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace wexlink::posix {
namespace {

void ProcFdPath(int fd, char (&path)[32]) {
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

bool IsEventFd(int fd) {
  char path[32];
  ProcFdPath(fd, path);
  char target[64];
  const ssize_t n = readlink(path, target, sizeof target);
  return n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == "anon_inode:[eventfd]";
}

bool WritableNow(int fd) {
  pollfd p{fd, POLLOUT, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0 &&
         (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// Writes with SIGPIPE blocked in this thread. A write to a pipe that no one
// reads then fails with EPIPE and leaves SIGPIPE pending on the thread; that
// signal is taken back at once, unless one was pending before, so that it is
// neither delivered later nor left to pile up.
void WriteWithoutSigpipe(int fd, const void* data, std::size_t size) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t pendingBefore;
  sigemptyset(&pendingBefore);
  sigpending(&pendingBefore);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previousMask);

  ssize_t n;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EPIPE && sigismember(&pendingBefore, SIGPIPE) == 0) {
    const timespec noWait{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

// A blocking pipe or FIFO: a new opening of the same pipe, made non-blocking,
// so that neither a full pipe nor another writer can make the post wait.
// False when the pipe cannot be reopened for another reason than a FIFO that no
// one has open for reading (which drops the post): no /proc, say.
bool WriteThroughNonBlockingOpening(int fd, const void* data, std::size_t size) {
  char path[32];
  ProcFdPath(fd, path);
  const int writer = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (writer < 0) return errno == ENXIO;
  WriteWithoutSigpipe(writer, data, size);
  ::close(writer);
  return true;
}

}  // namespace

void FdMessagePoster::Post(intptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam) {
  if (window < 0 || window > INT_MAX) return;
  const int fd = static_cast<int>(window);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return;
  struct stat st {};
  if (fstat(fd, &st) != 0) return;

  const NotificationRecord record{message, wParam, lParam};
  if (S_ISSOCK(st.st_mode)) {
    send(fd, &record, sizeof record, MSG_DONTWAIT | MSG_NOSIGNAL);
    return;
  }
  const bool nonBlocking = (flags & O_NONBLOCK) != 0;
  if ((st.st_mode & S_IFMT) == 0 && IsEventFd(fd)) {
    // Blocks only if the counter would overflow; then the post is dropped.
    const uint64_t one = 1;
    if (nonBlocking || WritableNow(fd)) WriteWithoutSigpipe(fd, &one, sizeof one);
    return;
  }
  if (!nonBlocking && S_ISFIFO(st.st_mode)) {
    if (WriteThroughNonBlockingOpening(fd, &record, sizeof record)) return;
  }
  // Already non-blocking, or some other kind of file; without /proc a blocking
  // pipe gets here too, and is written only when it has room now.
  if (nonBlocking || WritableNow(fd)) WriteWithoutSigpipe(fd, &record, sizeof record);
}

}  // namespace wexlink::posix
