// Privilege end to end, with child processes: wexmon-launcher leaves no
// capability to the program it runs and finds that program beside itself only;
// a process running with more privilege than its caller (here: setgid) ignores
// the caller's WEXLINK_* and WEXMON_LIBRARY variables. A probe program stands
// in for Wexmon; it only reports, and its machine ports are fakes. The
// launcher's ioperm call grants a port without touching it.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "posix_test_util.h"

namespace wexlink::posix {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

struct Outcome {
  int status = -1;
  std::string out, err;
  // The value of "key value" lines of the probe.
  std::string Get(const std::string& key) const {
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
    }
    return "(none)";
  }
};

std::string ReadAll(FILE* file) {
  std::string text(static_cast<size_t>(ftell(file)), '\0');
  rewind(file);
  text.resize(fread(text.data(), 1, text.size(), file));
  fclose(file);
  return text;
}

// Runs `program` with the test's environment plus `env`, as `user` when given
// (the test is root then); output goes through files, never a pipe that fills.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, std::optional<uid_t> user = {}) {
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    if (user && (setgroups(0, nullptr) != 0 || setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
                 setresuid(*user, *user, *user) != 0)) {
      _exit(126);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  fseek(out, 0, SEEK_END);
  fseek(err, 0, SEEK_END);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadAll(out),
          ReadAll(err)};
}

std::string CopyProgram(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec);
  return to;
}

// A temporary folder that uid `nobody` may enter, where set-id bits and file
// capabilities work; empty with the reason in `why` when there is none.
std::string PrivilegeFolder(const TempDir& dir, std::string& why) {
  struct statvfs vfs {};
  if (statvfs(dir.path().c_str(), &vfs) != 0 || (vfs.f_flag & ST_NOSUID) != 0) {
    why = dir.path() + " is on a nosuid file system";
    return {};
  }
  chmod(dir.path().c_str(), 0755);
  return dir.path();
}

[[maybe_unused]] bool HasSetcap() { return system("command -v setcap >/dev/null 2>&1") == 0; }

// ---- wexmon-launcher ------------------------------------------------------

TEST(Launcher, RunsTheProgramBesideItWithNoCapabilityLeft) {
#ifndef WEXMON_LAUNCHER_BINARY
#if defined(WEXMON_BINARY) && defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
  FAIL() << "Wexmon is built without wexmon-launcher: its relays would need a capability on "
            "the whole GUI program";
#else
  GTEST_SKIP() << "no wexmon-launcher on this platform";
#endif
#else
  TempDir dir;
  std::string why;
  const std::string folder = PrivilegeFolder(dir, why);
  if (folder.empty()) GTEST_SKIP() << why;
  const std::string launcher = CopyProgram(WEXMON_LAUNCHER_BINARY, folder + "/wexmon-launcher");
  CopyProgram(PRIVILEGE_PROBE_BINARY, folder + "/Wexmon");
  // A decoy Wexmon on PATH and beside a symbolic link to the launcher: neither
  // PATH nor the name it was started under decides what runs.
  fs::create_directory(folder + "/decoy");
  chmod((folder + "/decoy").c_str(), 0755);
  CopyProgram(PRIVILEGE_PROBE_BINARY, folder + "/decoy/Wexmon");
  fs::create_symlink(launcher, folder + "/decoy/wexmon-launcher");

  struct Case {
    std::string name;
    std::optional<uid_t> user;
    bool fileCapability;
  };
  std::vector<Case> cases{{"caller's own user", std::nullopt, false}};
  if (geteuid() == 0) {
    cases.push_back({"nobody, no file capability", kNobody, false});
    if (HasSetcap()) {
      cases.push_back({"nobody, cap_sys_rawio+ep on the file", kNobody, true});
    } else {
      std::cout << "[  NOTE    ] no setcap (Debian libcap2-bin): file-capability case skipped\n";
    }
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fileCapability) {
      ASSERT_EQ(system(("setcap cap_sys_rawio+ep " + launcher).c_str()), 0);
    }
    const Outcome run = RunProgram(folder + "/decoy/wexmon-launcher",
                                   {"--launcher-verbose", "--autostart", "two words"},
                                   {{"PATH", folder + "/decoy"},
                                    {"PROBE_MARKER", "passed on"},
                                    {"WEXLINK_GRANTED_PORTS", "0-1023"}},
                                   c.user);
    std::cout << "[  " << c.name << " ]\n" << run.err << "  probe: " << run.Get("caps") << "\n";
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.Get("exe"), folder + "/Wexmon");
    EXPECT_EQ(run.Get("args"), "--autostart|two words");
    EXPECT_EQ(run.Get("marker"), "passed on");
    EXPECT_EQ(run.Get("secure"), "0");
    const std::string caps = run.Get("caps");
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
      EXPECT_NE(caps.find(std::string(set) + "=0000000000000000"), std::string::npos) << caps;
    }
    EXPECT_NE(caps.find("NoNewPrivs=1"), std::string::npos) << caps;
    // A root caller may and does empty the bounding set too.
    if (!c.user && geteuid() == 0) {
      EXPECT_NE(caps.find("CapBnd=0000000000000000"), std::string::npos) << caps;
    }
    if (c.fileCapability) {
      EXPECT_NE(run.err.find("before: CapInh=0000000000000000 CapPrm=0000000000020000 "
                             "CapEff=0000000000020000"),
                std::string::npos)
          << run.err;
    }
    // The caller's own claim never reaches the program; the launcher's does
    // when ioperm granted the port, and the library then takes the port
    // instructions for port 256 and the fallback for 257.
    const bool opened = run.err.find("I/O ports 256-256 opened") != std::string::npos;
    if (!opened) {
      EXPECT_NE(run.err.find("cannot open the I/O ports 256-256"), std::string::npos) << run.err;
      if (run.err.find("Function not implemented") != std::string::npos) {
        std::cout << "[  NOTE    ] this kernel has no ioperm (ENOSYS): granted path not seen\n";
      }
    }
    EXPECT_EQ(run.Get("granted"), opened ? "256-256" : "-");
    EXPECT_EQ(run.Get("port256"), opened ? "instructions" : "machine");
    EXPECT_EQ(run.Get("port257"), "machine");
    if (c.user && !c.fileCapability && opened)
      ADD_FAILURE() << "ioperm succeeded without privilege";
  }
#endif
}

// ---- A claimed grant that the process does not hold ------------------------

// WEXLINK_GRANTED_PORTS is only a claim: a value that no ioperm grant backs
// must not send the library to a port instruction that the processor refuses
// (SIGSEGV). The claim is dropped with one line and the usual routing serves
// the port; with no capability that routing finds no way to the ports, so the
// reads give all ones.
TEST(GrantClaim, AClaimWithoutAGrantFallsBackInsteadOfCrashing) {
  for (const std::string claim : {"256-256", "0-1023"}) {
    SCOPED_TRACE(claim);
    const Outcome run =
        RunProgram(FALSE_GRANT_PROBE_BINARY, {}, {{"WEXLINK_GRANTED_PORTS", claim}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.Get("in8"), "ff");
    EXPECT_EQ(run.Get("in16"), "ffff");
    EXPECT_EQ(run.Get("in32"), "ffffffff");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find("WEXLINK_GRANTED_PORTS ignored: port 256 is not open to this process"),
              std::string::npos)
        << run.err;
  }
}

// ---- A process with more privilege than its caller ---------------------------

// A set-group-id copy of `program` in `folder`: the kernel marks such a
// process AT_SECURE. Empty, with the reason, when the test cannot make one.
std::string SetGidCopy(const std::string& program, const std::string& to, std::string& why) {
  if (geteuid() != 0) {
    why = "needs root to give a copy another group";
    return {};
  }
  CopyProgram(program, to);
  if (chown(to.c_str(), 0, kNogroup) != 0 || chmod(to.c_str(), 02755) != 0) {
    why = "cannot make a set-group-id file";
    return {};
  }
  return to;
}

TEST(PrivilegedProcess, IgnoresTheCallersVariables) {
  TempDir dir;
  std::string why;
  const std::string folder = PrivilegeFolder(dir, why);
  if (folder.empty()) GTEST_SKIP() << why;
  const std::string probe = SetGidCopy(PRIVILEGE_PROBE_BINARY, folder + "/probe", why);
  if (probe.empty()) GTEST_SKIP() << why;
  const std::map<std::string, std::string> env{{"WEXLINK_COM1", folder + "/com1"},
                                               {"WEXLINK_IOSPACE", folder + "/iospace"},
                                               {"WEXLINK_GRANTED_PORTS", "256-256"}};

  // The same program without the set-group-id bit uses all three.
  const Outcome plain = RunProgram(CopyProgram(PRIVILEGE_PROBE_BINARY, folder + "/plain"), {}, env);
  EXPECT_EQ(plain.Get("secure"), "0");
  EXPECT_EQ(plain.Get("com1"), folder + "/com1");
  EXPECT_EQ(plain.Get("port256"), "file");
  fs::remove(folder + "/iospace");

  const Outcome run = RunProgram(probe, {}, env);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Get("secure"), "1");
  EXPECT_EQ(run.Get("com1"), "/dev/ttyS0");
  EXPECT_EQ(run.Get("port256"), "machine");
  EXPECT_FALSE(fs::exists(folder + "/iospace"));

#ifdef WEXMON_BINARY
  // Wexmon loads no library the caller names; its own folder and ../lib have
  // none, and it does not go on to the dynamic linker's search.
  const std::string wexmon = SetGidCopy(WEXMON_BINARY, folder + "/Wexmon", why);
  ASSERT_FALSE(wexmon.empty()) << why;
  fs::create_directory(folder + "/xdg");
  chmod((folder + "/xdg").c_str(), 0700);
  const Outcome app = RunProgram(wexmon, {"--autostart", "--after", "5"},
                                 {{"WEXMON_LIBRARY", folder + "/evil.so"},
                                  {"QT_QPA_PLATFORM", "offscreen"},
                                  {"XDG_RUNTIME_DIR", folder + "/xdg"}});
  EXPECT_EQ(app.status, 3) << app.err;
  EXPECT_NE(app.err.find("WEXMON_LIBRARY ignored"), std::string::npos) << app.err;
  // Its own message: the dynamic linker's search is never tried (its "cannot
  // open shared object file" would name the library as well).
  EXPECT_NE(app.err.find("libwexlink.so.1 not found beside the program"), std::string::npos)
      << app.err;
  EXPECT_EQ(app.err.find("evil.so"), std::string::npos) << app.err;
#endif
}

}  // namespace
}  // namespace wexlink::posix
