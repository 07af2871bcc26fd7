#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace w316sim_test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

std::vector<char*> Argv(const std::string& binary, const std::vector<std::string>& args,
                        std::vector<std::string>& storage) {
  storage.clear();
  storage.push_back(binary);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

// In the child: die with the parent, so a crashed test leaves no simulator behind.
void ChildSetup(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
}

int WaitPid(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    if (Clock::now() >= deadline) return -2;  // still running
    usleep(5000);
  }
}

}  // namespace

SimProcess::~SimProcess() { Stop(); }

std::string SimProcess::Start(const std::string& binary, const std::vector<std::string>& args,
                              std::chrono::milliseconds timeout) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return std::string("pipe: ") + std::strerror(errno);
  }
  std::vector<std::string> storage;
  auto argv = Argv(binary, args, storage);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) return std::string("fork: ") + std::strerror(errno);
  if (pid_ == 0) {
    ChildSetup(parent);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
  fcntl(fromChild_, F_SETFL, fcntl(fromChild_, F_GETFL) | O_NONBLOCK);

  auto line = ReadLine(Clock::now() + timeout);
  if (!line) return "no first line from " + binary;
  firstLine_ = *line;
  const auto space = firstLine_.find(' ');
  if (space == std::string::npos) return "unexpected first line '" + firstLine_ + "'";
  path_ = firstLine_.substr(space + 1);
  return {};
}

std::optional<std::string> SimProcess::ReadLine(Clock::time_point deadline) {
  while (true) {
    if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (fromChild_ < 0) return std::nullopt;
    pollfd p{fromChild_, POLLIN, 0};
    const int r = poll(&p, 1, RemainingMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char chunk[512];
    const ssize_t n = read(fromChild_, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      close(fromChild_);
      fromChild_ = -1;
    }
  }
}

std::string SimProcess::Command(const std::string& line, std::chrono::milliseconds timeout) {
  if (toChild_ < 0) return {};
  const std::string text = line + "\n";
  if (write(toChild_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
  const auto deadline = Clock::now() + timeout;
  while (auto l = ReadLine(deadline)) {
    if (l->rfind("ok", 0) == 0 || l->rfind("error:", 0) == 0) return *l;
    held_.push_back(*l);
  }
  return {};
}

std::optional<std::string> SimProcess::WaitForLine(const std::string& prefix,
                                                   std::chrono::milliseconds timeout) {
  while (!held_.empty()) {
    std::string l = held_.front();
    held_.pop_front();
    if (l.rfind(prefix, 0) == 0) return l;
  }
  const auto deadline = Clock::now() + timeout;
  while (auto l = ReadLine(deadline))
    if (l->rfind(prefix, 0) == 0) return l;
  return std::nullopt;
}

bool SimProcess::Send(const std::string& bytes) {
  return toChild_ >= 0 &&
         write(toChild_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

long long SimProcess::Requests() {
  const std::string answer = Command("stats");
  const std::string key = "ok requests ";
  if (answer.rfind(key, 0) != 0) return -1;
  return std::atoll(answer.c_str() + key.size());
}

int SimProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const int r = WaitPid(pid_, timeout);
  if (r == -2) return -1;
  pid_ = -1;
  return r;
}

void SimProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (WaitPid(pid_, std::chrono::seconds(2)) == -2) {
      kill(pid_, SIGKILL);
      WaitPid(pid_, std::chrono::seconds(2));
    }
    pid_ = -1;
  }
  if (toChild_ >= 0) close(toChild_);
  if (fromChild_ >= 0) close(fromChild_);
  toChild_ = fromChild_ = -1;
}

pid_t Spawn(const std::string& binary, const std::vector<std::string>& args, int in, int out,
            int err) {
  std::vector<std::string> storage;
  auto argv = Argv(binary, args, storage);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    ChildSetup(parent);
    const int from[3] = {in, out, err};
    for (int fd = 0; fd < 3; ++fd) {
      if (from[fd] < 0)
        close(fd);
      else if (from[fd] != fd)
        dup2(from[fd], fd);
    }
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int WaitExitOf(pid_t pid, std::chrono::milliseconds timeout) { return WaitPid(pid, timeout); }

RunResult RunToEnd(const std::string& binary, const std::vector<std::string>& args,
                   std::chrono::milliseconds timeout) {
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  std::vector<std::string> storage;
  auto argv = Argv(binary, args, storage);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    ChildSetup(parent);
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  const auto deadline = Clock::now() + timeout;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && pid > 0) {
    const int r = poll(fds, 2, RemainingMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[1024];
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  if (pid > 0) {
    const int status = WaitPid(pid, std::chrono::milliseconds(RemainingMs(deadline)));
    if (status == -2) {
      kill(pid, SIGKILL);
      WaitPid(pid, std::chrono::seconds(2));
    } else {
      result.status = status;
    }
  }
  return result;
}

HostPort::HostPort(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return;
  termios tio{};
  if (tcgetattr(fd_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
}

HostPort::~HostPort() {
  if (fd_ >= 0) close(fd_);
}

void HostPort::Write(const std::vector<unsigned char>& bytes) {
  if (fd_ >= 0) [[maybe_unused]]
    ssize_t n = write(fd_, bytes.data(), bytes.size());
}

std::vector<unsigned char> HostPort::Read(std::size_t count, std::chrono::milliseconds timeout) {
  std::vector<unsigned char> bytes;
  const auto deadline = Clock::now() + timeout;
  while (fd_ >= 0 && bytes.size() < count) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) break;
    unsigned char chunk[256];
    const ssize_t n = read(fd_, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

std::vector<unsigned char> HostPort::ReadFor(std::chrono::milliseconds timeout) {
  std::vector<unsigned char> bytes;
  const auto deadline = Clock::now() + timeout;
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) break;
    unsigned char chunk[256];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

}  // namespace w316sim_test
