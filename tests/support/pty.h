// A pseudo-terminal pair for tests and benchmarks: the test holds the master
// side and plays the module (or the host); the code under test opens the slave
// side by its path, directly or as COM<n> through WEXLINK_COM<n>.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace wexlink::test_support {

class Pty {
 public:
  // The master side is non-blocking and close-on-exec.
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    if (const char* name = ptsname(master_)) slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  // A pair whose slave side is held open raw and named as COM<comNumber> to
  // the library of this process (see HoldSlaveRaw, NameAsCom); ok() is false
  // when either fails.
  explicit Pty(int comNumber) : Pty() {
    if (!HoldSlaveRaw() || !NameAsCom(comNumber)) CloseMaster();
  }
  ~Pty() {
    if (slave_ >= 0) ::close(slave_);
    CloseMaster();
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // Opens the slave side and keeps it open, raw: the pair then lives on while
  // the code under test closes and reopens its side, and the line discipline
  // passes bytes through unchanged. False when it cannot.
  bool HoldSlaveRaw() {
    if (slave_ < 0) slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return false;
    termios t{};
    if (tcgetattr(slave_, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(slave_, TCSANOW, &t) == 0;
  }
  // Names the slave side as COM<number> to the library of this process.
  bool NameAsCom(int number) const {
    return !slavePath_.empty() &&
           setenv(("WEXLINK_COM" + std::to_string(number)).c_str(), slavePath_.c_str(), 1) == 0;
  }

  // Writes to the master side; true when every byte went.
  bool Send(const std::vector<uint8_t>& bytes) const { return Send(bytes.data(), bytes.size()); }
  bool Send(const uint8_t* data, std::size_t count) const {
    return ::write(master_, data, count) == static_cast<ssize_t>(count);
  }
  // Reads what the slave side wrote, waiting up to `timeout` for `count` bytes.
  std::vector<uint8_t> Receive(std::size_t count, std::chrono::milliseconds timeout =
                                                      std::chrono::milliseconds(1000)) const {
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
      } else if (n == 0 || (p.revents & (POLLHUP | POLLERR)) != 0) {
        // Nothing can come (slave side closed): wait a little, as a pty
        // reports a hangup until the slave side is opened again.
        usleep(1000);
      }
    }
    return got;
  }
  // Reads at most `count` bytes, waiting up to timeoutMs for the first; 0 on
  // timeout.
  int Read(uint8_t* data, int count, int timeoutMs) const {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0) return 0;
    const ssize_t n = ::read(master_, data, static_cast<std::size_t>(count));
    return n > 0 ? static_cast<int>(n) : 0;
  }
  // Everything waiting now, without waiting.
  std::string Drain() const {
    std::string bytes;
    char chunk[256];
    for (;;) {
      const ssize_t n = ::read(master_, chunk, sizeof chunk);
      if (n <= 0) break;
      bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
  }
  // Waits until bytes sent on the master side can be read on the held slave
  // side (a pty hands them over asynchronously); false after timeoutMs.
  bool WaitDelivered(int timeoutMs) const {
    pollfd p{slave_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace wexlink::test_support
