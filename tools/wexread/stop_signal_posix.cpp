#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "stop_signal.h"

namespace wexread {
namespace {

volatile std::sig_atomic_t g_stopSignal = 0;
volatile std::sig_atomic_t g_reopen = 0;  // SIGHUP: reopen --output (log rotation)
// The self-pipe: the handler writes a byte, the wait polls the reading end.
int g_wakeRead = -1;
int g_wakeWrite = -1;

void OnStopSignal(int signo) {
  const int savedErrno = errno;
  if (signo == SIGHUP)
    g_reopen = 1;
  else
    g_stopSignal = signo;
  const char byte = 1;
  if (g_wakeWrite >= 0 && ::write(g_wakeWrite, &byte, 1) < 0) {
    // The pipe is full: a wake-up is already waiting.
  }
  errno = savedErrno;
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  return set;
}

}  // namespace

void InstallStopHandlers() {
  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
    throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
  g_wakeRead = wake[0];
  g_wakeWrite = wake[1];
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a write blocked on a full pipe gives way
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a closed reader is EPIPE, the end of the output
}

void ReceiveStopRequests() {
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

const volatile std::sig_atomic_t* StopFlag() { return &g_stopSignal; }

bool TakeReopenRequest() {
  if (g_reopen == 0) return false;
  g_reopen = 0;
  return true;
}

bool WaitForStop(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= left.zero()) return false;
  const int timeoutMs =
      static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  pollfd fds[1] = {{g_wakeRead, POLLIN, 0}};
  if (poll(fds, 1, timeoutMs) == 0) return false;
  // A signal: the flags say which; the wake-ups are used up.
  char drained[64];
  while (::read(g_wakeRead, drained, sizeof drained) > 0) {
  }
  return true;
}

}  // namespace wexread
