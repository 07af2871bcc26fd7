#include "line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace w316sim {
namespace {

std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }

speed_t SpeedFor(int baud) {
  struct Entry {
    int baud;
    speed_t speed;
  };
  static const Entry table[] = {
      {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const Entry& e : table)
    if (e.baud == baud) return e.speed;
  return B0;
}

std::string MakeRaw(int fd, int baud, bool mustHaveSpeed) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return Why("tcgetattr");
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = SpeedFor(baud);
  if (speed != B0) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  } else if (mustHaveSpeed) {
    return "no standard line speed " + std::to_string(baud) + " for a serial device";
  }
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return Why("tcsetattr");
  return {};
}

std::string SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Why("fcntl");
  return {};
}

}  // namespace

std::string OpenPty(Line& line, int baud) {
  line = Line{};
  line.isPty = true;
  line.fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (line.fd < 0) return Why("posix_openpt");
  std::string error;
  if (grantpt(line.fd) != 0) error = Why("grantpt");
  if (error.empty() && unlockpt(line.fd) != 0) error = Why("unlockpt");
  if (error.empty()) {
    char name[PATH_MAX];
    if (ptsname_r(line.fd, name, sizeof name) != 0)
      error = Why("ptsname_r");
    else
      line.path = name;
  }
  if (error.empty()) {
    line.slaveFd = open(line.path.c_str(), O_RDWR | O_NOCTTY);
    if (line.slaveFd < 0) error = Why("open " + line.path);
  }
  if (error.empty()) error = MakeRaw(line.slaveFd, baud, false);
  if (error.empty()) error = SetNonBlocking(line.fd);
  if (!error.empty()) CloseLine(line);
  return error;
}

std::string OpenDevice(Line& line, const std::string& path, int baud) {
  line = Line{};
  line.path = path;
  line.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (line.fd < 0) return Why("open " + path);
  std::string error = MakeRaw(line.fd, baud, isatty(line.fd) != 0 && baud != 0);
  if (!error.empty()) CloseLine(line);
  return error;
}

void CloseLine(Line& line) {
  // The master goes first: closing it hangs up the slave side for every holder.
  if (line.fd >= 0) close(line.fd);
  if (line.slaveFd >= 0) close(line.slaveFd);
  line.fd = -1;
  line.slaveFd = -1;
}

std::string MakeLink(const std::string& link, const std::string& target) {
  const std::string temp = link + ".w316sim-" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0) return Why("symlink " + temp);
  if (rename(temp.c_str(), link.c_str()) != 0) {
    std::string error = Why("rename to " + link);
    unlink(temp.c_str());
    return error;
  }
  return {};
}

void RemoveLinkIfOurs(const std::string& link, const std::string& target) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return;
  buffer[n] = '\0';
  if (target == buffer) unlink(link.c_str());
}

}  // namespace w316sim
