// w316sim: answers W316 requests on a pseudo-terminal or serial device.
//
// One thread, one poll() loop: requests from the line are handed to the
// Simulator, whose replies are queued with the time they are due (their
// transmission time at the line speed, plus any fault delay) and written when
// that time comes, so a slow reply never holds up reading. Commands come from
// standard input and an optional FIFO; the relay port file is looked at every
// 100 ms. Each turn of the loop takes in a bounded amount from every source,
// so that a flood on one of them neither fills memory nor delays a signal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "command_lines.h"
#include "line.h"
#include "model.h"
#include "options.h"

namespace {

using w316sim::Emission;

constexpr int64_t kIoSpacePollMicros = 100'000;
constexpr long kRelayPort = 256;
constexpr std::size_t kMaxCommandLine = 4096;
// What one turn of the loop reads at most: from a command source, and from
// the line (a module line carries 960 bytes a second at 9600 baud).
constexpr std::size_t kCommandReadBytes = 4096;
constexpr std::size_t kLineReadBytes = 64 * 1024;

// The pipe wakes poll(); the flag stops work that is already under way.
int g_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_stopRequested = 0;

void OnSignal(int signo) {
  const int saved = errno;
  g_stopRequested = 1;
  const unsigned char b = static_cast<unsigned char>(signo);
  [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &b, 1);
  errno = saved;
}

// A descriptor 0 to 2 that is closed at start would be taken by the next file
// opened (the signal pipe, the pty), and output meant for standard output or
// standard error would land there. Each one that is closed is opened on
// /dev/null. Returns the set of those that were closed (bit = descriptor), or
// -1 when /dev/null cannot be opened.
int OpenClosedStandardDescriptors() {
  int closed = 0;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lower descriptors are open, so open() returns this one.
    const int opened = open("/dev/null", O_RDWR);
    if (opened != fd) return -1;
    closed |= 1 << fd;
  }
  return closed;
}

int64_t NowMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

void PrintLine(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Command lines from a non-blocking descriptor.
struct CommandReader {
  int fd = -1;
  bool eof = false;
  w316sim::CommandLineSplitter splitter{kMaxCommandLine};

  // One read of at most kCommandReadBytes; returns the lines it completed.
  // A read error other than "nothing there now" ends the input like its end.
  std::vector<w316sim::CommandLine> Read() {
    std::vector<w316sim::CommandLine> lines;
    char buffer[kCommandReadBytes];
    ssize_t n;
    do {
      n = read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(n)), lines);
    } else if (n == 0 || errno != EAGAIN) {
      eof = true;
      splitter.Finish(lines);
    }
    return lines;
  }
};

std::string RelayText(int value) {
  char text[96];
  int n = std::snprintf(text, sizeof text, "RELAYS 0x%02X", value);
  for (int i = 0; i < 8; ++i)
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " %d=%s", i + 1,
                       (value >> i) & 1 ? "closed" : "open");
  return text;
}

// The relay port byte in the I/O-space file, or -1 when the file or the byte is
// missing. O_NONBLOCK: a FIFO put under that name must not stop the loop.
int ReadRelayPort(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  unsigned char b = 0;
  const ssize_t n = pread(fd, &b, 1, kRelayPort);
  close(fd);
  return n == 1 ? b : -1;
}

// The I/O-space file need not exist yet (the library makes it), but its folder
// must, or no change could ever be seen. Returns "" or an error text.
std::string CheckIoSpace(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return "--iospace " + path + ": no folder " + folder;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return "--iospace " + path + ": is a folder, not a file";
  return {};
}

int Run(const w316sim::Options& options, bool stdinClosed) {
  const int64_t start = NowMicros();
  w316sim::Simulator sim(options.addresses, options.baud, options.seed);
  if (const std::string error = w316sim::ApplySetup(options, sim, start); !error.empty()) {
    std::fprintf(stderr, "w316sim: %s\n", error.c_str());
    return 2;
  }
  auto logLine = [start](const std::string& text) {
    std::fprintf(stderr, "[%9.3f] %s\n", static_cast<double>(NowMicros() - start) / 1e6,
                 text.c_str());
  };
  if (options.log) sim.log = logLine;

  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("w316sim: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  w316sim::Line line;
  std::string error = options.device.empty()
                          ? w316sim::OpenPty(line, options.baud)
                          : w316sim::OpenDevice(line, options.device, options.baud);
  if (!error.empty()) {
    std::fprintf(stderr, "w316sim: %s\n", error.c_str());
    return 1;
  }
  if (!options.link.empty()) {
    if (error = w316sim::MakeLink(options.link, line.path); !error.empty()) {
      std::fprintf(stderr, "w316sim: %s\n", error.c_str());
      w316sim::CloseLine(line);
      return 1;
    }
  }

  CommandReader control;
  bool madeFifo = false;
  if (!options.control.empty()) {
    struct stat st {};
    if (stat(options.control.c_str(), &st) != 0) {
      if (mkfifo(options.control.c_str(), 0600) == 0) madeFifo = true;
    }
    // Opened for writing too, so the FIFO never reads as ended when a writer leaves.
    control.fd = open(options.control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control.fd < 0 || fstat(control.fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
      std::fprintf(stderr, "w316sim: --control %s: not a FIFO that can be opened\n",
                   options.control.c_str());
      if (control.fd >= 0) close(control.fd);
      if (!options.link.empty()) w316sim::RemoveLinkIfOurs(options.link, line.path);
      w316sim::CloseLine(line);
      return 1;
    }
  }

  CommandReader input;
  // A standard input that was closed at start (now /dev/null) is no command
  // source, as with --no-stdin, rather than an end of input at once.
  // Non-blocking reads of standard input; the flag belongs to the open file,
  // which a terminal shares with the shell, so it is put back at the end.
  const int stdinFlags = fcntl(STDIN_FILENO, F_GETFL);
  if (options.readStdin && !stdinClosed && stdinFlags >= 0) {
    input.fd = STDIN_FILENO;
    fcntl(input.fd, F_SETFL, stdinFlags | O_NONBLOCK);
  }

  // The relay port as it stands now is the base for change reports: read it
  // before telling the caller the line is ready.
  int lastRelays = options.iospace.empty() ? -1 : ReadRelayPort(options.iospace);
  int64_t nextIoSpacePoll = NowMicros() + kIoSpacePollMicros;

  PrintLine((line.isPty ? "PTY " : "DEVICE ") + line.path);

  std::multimap<int64_t, std::vector<uint8_t>> due;  // bytes for the line by the time they are due
  auto queue = [&due](std::vector<Emission>& emissions) {
    for (auto& e : emissions) due.emplace(e.at, std::move(e.bytes));
    emissions.clear();
  };

  int64_t lineQuietUntil = 0;  // after a hang-up of a device, look at it again only now and then
  bool running = true;
  w316sim::Action ending = w316sim::Action::None;
  std::vector<Emission> emissions;

  auto runCommands = [&](CommandReader& reader) {
    for (const w316sim::CommandLine& command : reader.Read()) {
      if (g_stopRequested) return;
      if (command.tooLong) {
        PrintLine("error: command line longer than " + std::to_string(kMaxCommandLine) +
                  " bytes, ignored up to its end");
        continue;
      }
      const w316sim::CommandResult r = sim.Execute(command.text, NowMicros(), emissions);
      queue(emissions);
      if (!r.line.empty()) PrintLine(r.line);
      if (r.action != w316sim::Action::None) {
        ending = r.action;
        running = false;
        return;
      }
    }
  };

  while (running) {
    const int64_t now = NowMicros();
    int64_t wake = now + 1'000'000;
    if (!due.empty()) wake = std::min(wake, due.begin()->first);
    if (!options.iospace.empty()) wake = std::min(wake, nextIoSpacePoll);
    if (lineQuietUntil > now) wake = std::min(wake, lineQuietUntil);
    const int timeoutMs = wake <= now ? 0 : static_cast<int>((wake - now + 999) / 1000);

    pollfd fds[4];
    nfds_t nfds = 0;
    fds[nfds++] = {g_signalPipe[0], POLLIN, 0};
    const nfds_t lineIndex = nfds;
    fds[nfds++] = {lineQuietUntil > now ? -1 : line.fd, POLLIN, 0};
    const nfds_t inputIndex = nfds;
    fds[nfds++] = {input.fd >= 0 && !input.eof ? input.fd : -1, POLLIN, 0};
    const nfds_t controlIndex = nfds;
    fds[nfds++] = {control.fd, POLLIN, 0};

    if (poll(fds, nfds, timeoutMs) < 0 && errno != EINTR) {
      std::perror("w316sim: poll");
      break;
    }
    if (g_stopRequested || (fds[0].revents & POLLIN)) break;  // SIGINT, SIGTERM or SIGHUP

    // Requests first: a command that arrives at the same moment as a request
    // is applied after the request it followed on the host's side.
    if (fds[lineIndex].revents & POLLIN) {
      uint8_t buffer[4096];
      for (std::size_t taken = 0; taken < kLineReadBytes;) {
        const ssize_t n = read(line.fd, buffer, sizeof buffer);
        if (n <= 0) break;
        taken += static_cast<std::size_t>(n);
        sim.Receive(buffer, static_cast<std::size_t>(n), NowMicros(), emissions);
        queue(emissions);
      }
    } else if (fds[lineIndex].revents & (POLLHUP | POLLERR)) {
      // Nobody holds the other end (a device whose peer went away).
      lineQuietUntil = NowMicros() + kIoSpacePollMicros;
    }
    if (fds[inputIndex].revents & (POLLIN | POLLHUP | POLLERR)) {
      runCommands(input);
      if (input.eof && running) {
        ending = w316sim::Action::Quit;
        running = false;
      }
    }
    if (running && (fds[controlIndex].revents & POLLIN)) runCommands(control);
    if (g_stopRequested) break;

    const int64_t after = NowMicros();
    while (!due.empty() && due.begin()->first <= after) {
      const std::vector<uint8_t>& bytes = due.begin()->second;
      std::size_t written = 0;
      while (written < bytes.size()) {
        const ssize_t n = write(line.fd, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
          written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;  // the other side reads nothing: the rest is lost on the line
        }
      }
      if (options.log) {
        std::string text = "tx " + w316sim::Hex(bytes.data(), written);
        if (written < bytes.size())
          text += " (" + std::to_string(bytes.size() - written) + " byte(s) lost)";
        logLine(text);
      }
      due.erase(due.begin());
    }

    if (!options.iospace.empty() && after >= nextIoSpacePoll) {
      nextIoSpacePoll = after + kIoSpacePollMicros;
      const int relays = ReadRelayPort(options.iospace);
      if (relays >= 0 && relays != lastRelays) PrintLine(RelayText(relays));
      lastRelays = relays;
    }
  }

  if (ending == w316sim::Action::Hangup && options.log) logLine("hanging up");
  if (!options.link.empty()) w316sim::RemoveLinkIfOurs(options.link, line.path);
  w316sim::CloseLine(line);
  if (control.fd >= 0) close(control.fd);
  if (madeFifo) unlink(options.control.c_str());
  if (input.fd == STDIN_FILENO) fcntl(STDIN_FILENO, F_SETFL, stdinFlags);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int closedAtStart = OpenClosedStandardDescriptors();
  if (closedAtStart < 0) return 1;
  std::vector<std::string> args(argv + 1, argv + argc);
  const w316sim::ParsedOptions parsed = w316sim::ParseOptions(args);
  if (!parsed.ok) {
    std::fprintf(stderr, "w316sim: %s\ntry 'w316sim --help'\n", parsed.error.c_str());
    return 2;
  }
  if (parsed.options.help) {
    std::fputs(w316sim::Usage().c_str(), stdout);
    return 0;
  }
  if (!parsed.options.iospace.empty()) {
    if (const std::string error = CheckIoSpace(parsed.options.iospace); !error.empty()) {
      std::fprintf(stderr, "w316sim: %s\ntry 'w316sim --help'\n", error.c_str());
      return 2;
    }
  }
  return Run(parsed.options, (closedAtStart & 1) != 0);
}
