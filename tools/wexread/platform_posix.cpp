#include <sys/auxv.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>

#include "platform.h"
#include "serial_diagnosis.h"
#include "wexlink_com_device.h"

namespace wexread {

std::string PortDevice(unsigned port, const std::string& device) {
  if (!device.empty()) return device;
  return wexlink::ComDevicePath(port);
}

void NamePortDevice(unsigned port, const std::string& device) {
  setenv(wexlink::ComDeviceVariable(port).c_str(), device.c_str(), 1);
}

std::string DiagnosePortOpen(const std::string& device) {
  return wexdiag::DiagnoseSerialOpen(device);
}

bool RunningPrivileged() { return getauxval(AT_SECURE) != 0; }

namespace {

// A file by device and inode, or, for one not there yet, by its folder's and
// its name: two spellings of one path compare equal.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;  // empty when the file itself exists
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return FileIdentity{st.st_dev, st.st_ino, {}};
  const auto slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (::stat(folder.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino, name};
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  const auto first = IdentityOf(a);
  const auto second = IdentityOf(b);
  return first ? first == second : a == b;
}

}  // namespace wexread
