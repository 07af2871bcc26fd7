// A pseudo-terminal that a benchmark hands to the library as its COM port
// (through WEXLINK_COM<n>) while the benchmark itself plays the module on the
// master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace wexlink::bench {

class PtyLine {
 public:
  // Opens the pair and names the slave as COM<comPort> for the library.
  explicit PtyLine(int comPort) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    slavePath_ = name;
    // Held open so the pair lives on while the library closes and reopens its
    // side; raw, so that the line discipline passes bytes through unchanged.
    slave_ = open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) return;
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slave_, TCSANOW, &t);
    }
    const std::string variable = "WEXLINK_COM" + std::to_string(comPort);
    setenv(variable.c_str(), name, 1);
  }
  ~PtyLine() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  bool Ok() const { return master_ >= 0 && slave_ >= 0; }
  int Master() const { return master_; }
  // Waits until bytes written on the master side can be read on the slave
  // side (a pty hands them over asynchronously); false after timeoutMs.
  bool WaitDelivered(int timeoutMs) const {
    pollfd p{slave_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
  }
  const std::string& SlavePath() const { return slavePath_; }

  // Reads what the library has sent, waiting at most timeoutMs; 0 on timeout.
  int Read(uint8_t* data, int count, int timeoutMs) const {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0) return 0;
    const ssize_t n = read(master_, data, static_cast<size_t>(count));
    return n > 0 ? static_cast<int>(n) : 0;
  }
  bool Write(const uint8_t* data, int count) const {
    return write(master_, data, static_cast<size_t>(count)) == count;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace wexlink::bench
