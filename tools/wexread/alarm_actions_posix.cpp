// The alarms' actions on POSIX systems: programs started with posix_spawn,
// and the relay port written through the library where this process may.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "alarms.h"
#include "wexlink.h"

namespace wexread {
namespace {

bool GrantedPortsCover(const char* text, unsigned port) {
  // "FIRST-LAST", decimal 0..1023 without sign, blanks or leading zeros.
  if (text == nullptr) return false;
  const char* dash = std::strchr(text, '-');
  if (dash == nullptr) return false;
  auto parse = [](const char* from, const char* to, unsigned& value) {
    if (from == to || to - from > 4 || (*from == '0' && to - from > 1)) return false;
    const auto [end, error] = std::from_chars(from, to, value);
    return error == std::errc() && end == to && value <= 1023;
  };
  unsigned first = 0;
  unsigned last = 0;
  return parse(text, dash, first) && parse(dash + 1, text + std::strlen(text), last) &&
         first <= last && first <= port && port <= last;
}

bool HasRawIoCapability() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_SYS_RAWIO / 32].effective & (1u << (CAP_SYS_RAWIO % 32))) != 0;
}

}  // namespace

// ---- the programs ----------------------------------------------------------------

HookRunner::HookRunner(std::size_t rules, std::chrono::milliseconds timeLimit)
    : timeLimit_(timeLimit), slots_(rules), thread_([this] { Loop(); }) {}

HookRunner::~HookRunner() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // A change still waiting is started now if its rule's program has ended;
  // none is waited for.
  for (Slot& slot : slots_) {
    if (!slot.waiting) continue;
    if (slot.pid > 0 && waitpid(slot.pid, nullptr, WNOHANG) == 0) {
      std::fprintf(stderr,
                   "wexread: on_alarm program %s not run for the last change: its previous run "
                   "had not ended at the stop\n",
                   slot.waiting->argv[0].c_str());
      continue;
    }
    Start(slot, std::move(*slot.waiting));
  }
}

void HookRunner::Run(std::size_t rule, std::vector<std::string> argv,
                     std::vector<std::string> env) {
  {
    std::lock_guard lock(mutex_);
    if (rule >= slots_.size() || argv.empty()) return;
    slots_[rule].waiting = Job{std::move(argv), std::move(env)};  // a newer change replaces
  }
  wake_.notify_all();
}

void HookRunner::Start(Slot& slot, Job job) {
  std::vector<char*> argv;
  for (auto& a : job.argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : job.env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);  // never into the rows
  // Nothing else of this process: not the output file, not a listening socket
  // that a long-lived program would keep after wexread ends.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The reader blocks its stop signals in every other thread and ignores
  // SIGPIPE: the program starts with neither.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  // A group of its own, so that a program over its time is killed with its children.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "wexread: on_alarm program %s could not be started: %s\n",
                 job.argv[0].c_str(), std::strerror(error));
    slot.pid = 0;
    return;
  }
  slot.pid = pid;
  slot.killed = false;
  slot.program = job.argv[0];
  slot.started = std::chrono::steady_clock::now();
}

void HookRunner::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    bool running = false;
    for (Slot& slot : slots_) {
      if (slot.pid > 0) {
        int status = 0;
        const pid_t done = waitpid(slot.pid, &status, WNOHANG);
        if (done == slot.pid || (done < 0 && errno == ECHILD)) {
          if (done == slot.pid && WIFEXITED(status) && WEXITSTATUS(status) != 0)
            std::fprintf(stderr, "wexread: on_alarm program %s exited with status %d\n",
                         slot.program.c_str(), WEXITSTATUS(status));
          else if (done == slot.pid && WIFSIGNALED(status))
            std::fprintf(stderr, "wexread: on_alarm program %s was ended by signal %d%s\n",
                         slot.program.c_str(), WTERMSIG(status),
                         WTERMSIG(status) == SIGKILL ? " (over its time, or killed)" : "");
          slot.pid = 0;
        } else if (!slot.killed && std::chrono::steady_clock::now() - slot.started > timeLimit_) {
          kill(-slot.pid, SIGKILL);
          slot.killed = true;
        }
      }
      if (slot.pid == 0 && slot.waiting && !stopping_) {
        Job job = std::move(*slot.waiting);
        slot.waiting.reset();
        slot.pid = -1;  // starting: no second start meanwhile
        lock.unlock();
        Start(slot, std::move(job));
        lock.lock();
      }
      running = running || slot.pid > 0;
    }
    if (stopping_) return;
    auto ready = [&] {
      if (stopping_) return true;
      for (const Slot& s : slots_)
        if (s.pid == 0 && s.waiting) return true;
      return false;
    };
    if (running)
      wake_.wait_for(lock, std::chrono::milliseconds(50), ready);  // then reap
    else
      wake_.wait(lock, ready);
  }
}

// ---- the relays ----------------------------------------------------------------------

bool RelayWriter::PortAccess() {
  const char* space = secure_getenv("WEXLINK_IOSPACE");
  if (space != nullptr && *space != '\0') return true;  // a file stands in for the ports
  return GrantedPortsCover(secure_getenv("WEXLINK_GRANTED_PORTS"), kPort) || HasRawIoCapability();
}

std::string RelayWriter::NoAccessNote() {
  return "wexread: relay actions are off: this process may not write the relay port (port 256; "
         "give it with wexmon-launcher's WEXLINK_GRANTED_PORTS or CAP_SYS_RAWIO)\n";
}

}  // namespace wexread
