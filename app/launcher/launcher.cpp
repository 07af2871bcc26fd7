// wexmon-launcher: opens the relay port to Wexmon without giving Wexmon any
// privilege.
//
// This small program, installed beside Wexmon, is the only file that carries
// cap_sys_rawio. It
//   1. asks the kernel for the ports FIRST..LAST (fixed at build time) with
//      ioperm; the permission belongs to the process and survives execve;
//   2. drops every capability: effective, permitted, inheritable, ambient and,
//      where allowed (a root caller), the bounding set; then sets
//      no_new_privs, so that nothing executed from here on regains privilege;
//   3. executes Wexmon from its own folder (found through /proc/self/exe) or
//      from the absolute path fixed at build time, never through PATH or the
//      environment, with the caller's arguments and environment, and with
//      WEXLINK_GRANTED_PORTS=FIRST-LAST so that the library uses the port
//      instructions for those ports.
// A toolkit reads many environment variables (plugin paths among them); none of
// that runs with the capability. This program reads no environment variable
// and uses nothing beyond libc and the kernel's own interfaces.
//
// Without the ports (no capability, or a kernel without ioperm) it says so on
// standard error and still runs Wexmon, whose relay writes then do nothing.
// `--launcher-verbose` as the first argument reports the capability sets
// before and after the drop (it is not passed on).
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/io.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wexlink_granted_ports.h"

#ifndef WEXMON_LAUNCHER_FIRST_PORT
#error \
    "WEXMON_LAUNCHER_FIRST_PORT, WEXMON_LAUNCHER_LAST_PORT and WEXMON_LAUNCHER_PROGRAM come from the build"
#endif

extern char** environ;

namespace {

constexpr unsigned kFirstPort = WEXMON_LAUNCHER_FIRST_PORT;
constexpr unsigned kLastPort = WEXMON_LAUNCHER_LAST_PORT;
static_assert(kFirstPort <= kLastPort && kLastPort <= WEXLINK_GRANTED_PORTS_HIGHEST,
              "ioperm reaches ports 0 to 0x3FF");
constexpr char kProgram[] = WEXMON_LAUNCHER_PROGRAM;
constexpr char kGrantedPortsVariable[] = WEXLINK_GRANTED_PORTS_VARIABLE;
constexpr int kExecFailedStatus = 127;

// The capability lines of /proc/self/status and NoNewPrivs, on one line.
std::string CapabilitySets() {
  std::string text;
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "(no /proc/self/status)";
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  std::string sets;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.rfind("Cap", 0) == 0 || line.rfind("NoNewPrivs", 0) == 0) {
      const std::size_t colon = line.find(':');
      const std::size_t value = line.find_first_not_of(" \t", colon + 1);
      if (colon != std::string::npos && value != std::string::npos) {
        if (!sets.empty()) sets += ' ';
        sets.append(line, 0, colon).append(1, '=').append(line, value, std::string::npos);
      }
    }
    start = end + 1;
  }
  return sets;
}

// The program to execute: kProgram when absolute, otherwise kProgram in the
// folder of this executable.
std::string ProgramPath() {
  if (kProgram[0] == '/') return kProgram;
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  std::string path(self, static_cast<size_t>(n));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1) + kProgram;
}

// Drops every capability this process holds and sets no_new_privs. False,
// with the reason in `error`, when a capability is left.
bool DropPrivileges(std::string& error) {
  // The bounding set and the secure bits need CAP_SETPCAP, which only a root
  // caller has: then no later execve can give capabilities back to uid 0.
  // Without it these calls fail with EPERM and change nothing; no_new_privs
  // below already keeps an execve from raising the permitted set.
  for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
    prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  }
  const int bits = prctl(PR_GET_SECUREBITS, 0, 0, 0, 0);
  if (bits >= 0) {
    prctl(PR_SET_SECUREBITS,
          static_cast<unsigned long>(bits) | SECBIT_NOROOT | SECBIT_NOROOT_LOCKED |
              SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED,
          0, 0, 0);
  }
  // Kernels before 4.3 have no ambient set and answer EINVAL.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);

  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, data) != 0) {
    error = std::string("capset: ") + std::strerror(errno);
    return false;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    error = std::string("no_new_privs: ") + std::strerror(errno);
    return false;
  }

  // Checked, not assumed.
  if (syscall(SYS_capget, &header, data) != 0) {
    error = std::string("capget: ") + std::strerror(errno);
    return false;
  }
  for (const auto& word : data) {
    if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0) {
      error = "a capability is still held after capset";
      return false;
    }
  }
  for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) > 0) {
      error = "an ambient capability is still set";
      return false;
    }
  }
  if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) {
    error = "no_new_privs is not set";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool verbose = argc > 1 && std::strcmp(argv[1], "--launcher-verbose") == 0;
  if (verbose) std::fprintf(stderr, "wexmon-launcher: before: %s\n", CapabilitySets().c_str());

  char ports[32];
  std::snprintf(ports, sizeof ports, WEXLINK_GRANTED_PORTS_FORMAT, kFirstPort, kLastPort);
  if (ioperm(kFirstPort, kLastPort - kFirstPort + 1, 1) == 0) {
    setenv(kGrantedPortsVariable, ports, 1);
    if (verbose) std::fprintf(stderr, "wexmon-launcher: I/O ports %s opened\n", ports);
  } else {
    const int error = errno;
    // Whatever the caller put there is not true for this process.
    unsetenv(kGrantedPortsVariable);
    std::fprintf(stderr,
                 "wexmon-launcher: cannot open the I/O ports %s (%s%s); Wexmon runs without "
                 "them and relay writes do nothing\n",
                 ports, std::strerror(error),
                 error == ENOSYS  ? ": this kernel has no ioperm"
                 : error == EPERM ? ": this file needs cap_sys_rawio+ep"
                                  : "");
  }

  std::string error;
  if (!DropPrivileges(error)) {
    std::fprintf(stderr, "wexmon-launcher: cannot drop privileges: %s\n", error.c_str());
    return EXIT_FAILURE;
  }
  if (verbose) std::fprintf(stderr, "wexmon-launcher: after: %s\n", CapabilitySets().c_str());

  const std::string program = ProgramPath();
  if (program.empty()) {
    std::fprintf(stderr, "wexmon-launcher: cannot find its own folder\n");
    return kExecFailedStatus;
  }
  std::vector<char*> arguments;
  arguments.push_back(const_cast<char*>(program.c_str()));
  for (int i = verbose ? 2 : 1; i < argc; ++i) arguments.push_back(argv[i]);
  arguments.push_back(nullptr);
  execve(program.c_str(), arguments.data(), environ);
  std::fprintf(stderr, "wexmon-launcher: cannot execute %s: %s\n", program.c_str(),
               std::strerror(errno));
  return kExecFailedStatus;
}
