// Runs the w316sim binary as a child process for tests: starts it, reads its
// first line (the line's path), sends commands and reads the answers, and makes
// sure it is gone when the test ends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace w316sim_test {

class SimProcess {
 public:
  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess();

  // Starts `binary args...` and waits for its first line ("PTY <path>" or
  // "DEVICE <path>"). Returns "" or an error text.
  std::string Start(const std::string& binary, const std::vector<std::string>& args,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));

  const std::string& path() const { return path_; }
  const std::string& firstLine() const { return firstLine_; }
  pid_t pid() const { return pid_; }

  // Sends one command line and returns its answer ("ok ..." or "error: ..."),
  // or "" when none came in time. Other output lines are kept for WaitForLine.
  std::string Command(const std::string& line,
                      std::chrono::milliseconds timeout = std::chrono::seconds(3));

  // The next output line that begins with `prefix` (earlier lines that do not
  // are dropped), or nothing when none came in time.
  std::optional<std::string> WaitForLine(const std::string& prefix,
                                         std::chrono::milliseconds timeout);

  // Writes `bytes` to its standard input as they are (no newline added).
  bool Send(const std::string& bytes);

  // "stats" parsed: the request count, or -1.
  long long Requests();

  // Waits for the process to end: its exit status, or -1 on timeout or when
  // it was killed by a signal.
  int WaitExit(std::chrono::milliseconds timeout);

  // SIGTERM, then SIGKILL if it has not ended after two seconds. Harmless when
  // it is not running.
  void Stop();

 private:
  std::optional<std::string> ReadLine(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffer_;
  std::deque<std::string> held_;
  std::string path_;
  std::string firstLine_;
};

struct RunResult {
  int status = -1;  // exit status, or -1 on timeout or a signal
  std::string out;
  std::string err;
};

// Starts `binary args...` with `in`, `out` and `err` as its standard input,
// output and error (-1: closed in the child); the child dies with the test
// process. Returns its pid, or -1.
pid_t Spawn(const std::string& binary, const std::vector<std::string>& args, int in, int out,
            int err);

// Waits for a child to end: its exit status, -1 when a signal ended it, -2 on timeout.
int WaitExitOf(pid_t pid, std::chrono::milliseconds timeout);

// Runs `binary args...` with empty standard input to its end.
RunResult RunToEnd(const std::string& binary, const std::vector<std::string>& args,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));

using wexlink::test_support::TempDir;

// The side of the line a host uses: the pty slave (or its link) opened raw.
class HostPort {
 public:
  explicit HostPort(const std::string& path);
  ~HostPort();
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Write(const std::vector<unsigned char>& bytes);
  // Reads until `count` bytes have come or the timeout passes.
  std::vector<unsigned char> Read(std::size_t count, std::chrono::milliseconds timeout);
  // Everything that arrives within the timeout.
  std::vector<unsigned char> ReadFor(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

}  // namespace w316sim_test
