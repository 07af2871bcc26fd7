// The simulator binary on a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "protocol.h"
#include "sim_process.h"
#include "temperature.h"

namespace w316sim {
namespace {

using namespace std::chrono_literals;
using w316sim_test::HostPort;
using w316sim_test::RunToEnd;
using w316sim_test::SimProcess;
using w316sim_test::TempDir;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

const std::string kBinary = W316SIM_BINARY;

// AddressSanitizer holds freed memory in quarantine (up to 256 MiB), so a
// process that frees everything it takes still grows: resident memory says
// nothing there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryTellsGrowth = false;
#else
constexpr bool kResidentMemoryTellsGrowth = true;
#endif

Bytes Request(uint8_t a1, uint8_t a2) {
  const auto r = MakeRequest({a1, a2});
  return Bytes(r.begin(), r.end());
}

Bytes Reply(uint8_t a1, uint8_t a2, const ChannelValues& v) {
  const auto r = MakeReply({a1, a2}, v);
  return Bytes(r.begin(), r.end());
}

bool IsSymlink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool WaitForSymlink(const std::string& path, std::chrono::milliseconds timeout) {
  for (const auto end = Clock::now() + timeout; Clock::now() < end;
       std::this_thread::sleep_for(10ms))
    if (IsSymlink(path)) return true;
  return false;
}

// Resident memory of a process in KiB, or -1.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Children started with Spawn: killed and reaped at the end of the test.
struct Children {
  std::vector<pid_t> pids;
  ~Children() {
    for (pid_t pid : pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  void Forget(pid_t pid) { std::erase(pids, pid); }
};

class BinaryTest : public ::testing::Test {
 protected:
  TempDir dir;
  SimProcess sim;
  std::string link = dir.File("com1");

  void Start(std::vector<std::string> args) {
    args.insert(args.end(), {"--link", link});
    const std::string error = sim.Start(kBinary, args);
    ASSERT_EQ(error, "");
    ASSERT_EQ(sim.firstLine().rfind("PTY /dev/", 0), 0u) << sim.firstLine();
  }
};

TEST_F(BinaryTest, AnswersARequestOnThePtyAfterTheTransmissionTime) {
  Start({"--modules", "2", "--raw", "1.0=34001", "--raw", "1.7=0"});
  ASSERT_TRUE(IsSymlink(link));
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  const auto sent = Clock::now();
  host.Write(Request(1, 1));
  const Bytes got = host.Read(22, 2s);
  const auto elapsed = Clock::now() - sent;
  ChannelValues v{};
  for (int j = 0; j < 8; ++j) v[j] = RawFromCelsius(DefaultCelsius(1, j));
  v[0] = 34001;
  v[7] = 0;
  EXPECT_EQ(got, Reply(1, 1, v));
  EXPECT_GE(elapsed, 22ms);  // 22 bytes at 9600 baud take 22.9 ms
  EXPECT_TRUE(host.ReadFor(100ms).empty());
}

TEST_F(BinaryTest, SlowLineTakesLongerAndReadingGoesOnMeanwhile) {
  Start({"--modules", "2", "--baud", "1200"});
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  const auto sent = Clock::now();
  // The second request arrives while the first reply is still being "sent".
  host.Write(Request(1, 0));
  std::this_thread::sleep_for(20ms);
  host.Write(Request(1, 1));
  const Bytes got = host.Read(44, 3s);
  const auto elapsed = Clock::now() - sent;
  ASSERT_EQ(got.size(), 44u);
  EXPECT_EQ(got[3], 0x00);
  EXPECT_EQ(got[22 + 3], 0x01);
  EXPECT_GE(elapsed, 200ms);  // 20 ms + 183 ms
  EXPECT_LT(elapsed, 1500ms);
}

TEST_F(BinaryTest, RequestsInPiecesAndUnknownAddresses) {
  Start({});
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  host.Write({0x00, 0xAA, 0x03});
  std::this_thread::sleep_for(30ms);
  host.Write({0x01, 0x00, 0x04, 0x55});
  EXPECT_EQ(host.Read(22, 2s).size(), 22u);
  host.Write(Request(1, 5));
  EXPECT_TRUE(host.ReadFor(150ms).empty());
  EXPECT_EQ(sim.Command("stats"), "ok requests 2 replies 1 unknown 1 garbage 1");
}

TEST_F(BinaryTest, CommandsSwitchFaultsWhileRunning) {
  Start({});
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(sim.Command("silent 0"), "ok silent 0");
  host.Write(Request(1, 0));
  EXPECT_TRUE(host.ReadFor(150ms).empty());
  EXPECT_EQ(sim.Command("answer 0"), "ok answer 0");
  EXPECT_EQ(sim.Command("echo on"), "ok echo on");
  host.Write(Request(1, 0));
  const Bytes got = host.Read(28, 2s);
  ASSERT_EQ(got.size(), 28u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 6), Request(1, 0));
  EXPECT_EQ(sim.Command("normal"), "ok normal all, echo off, stray reply 0");
  EXPECT_EQ(sim.Command("stray 7"), "ok stray 7");
  EXPECT_EQ(host.Read(7, 2s).size(), 7u);
  EXPECT_EQ(sim.Command("raw 0.0 12"), "ok raw 0.0 raw 12");
  EXPECT_EQ(sim.Command("split 0 200"), "ok split 0 200 11");
  host.Write(Request(1, 0));
  EXPECT_EQ(host.Read(22, 100ms).size(), 11u);  // the second piece is 200 ms behind
  const Bytes rest = host.Read(11, 2s);
  ASSERT_EQ(rest.size(), 11u);
  EXPECT_EQ(rest.back(), 0x55);
  EXPECT_EQ(sim.Command("late 9 5").rfind("error: ", 0), 0u);
}

TEST_F(BinaryTest, TermEndsCleanlyAndRemovesTheLink) {
  Start({});
  ASSERT_TRUE(IsSymlink(link));
  kill(sim.pid(), SIGTERM);
  EXPECT_EQ(sim.WaitExit(3s), 0);
  EXPECT_FALSE(IsSymlink(link));
}

TEST_F(BinaryTest, QuitEndsItAndRemovesTheLink) {
  Start({});
  EXPECT_EQ(sim.Command("quit"), "ok quit");
  EXPECT_EQ(sim.WaitExit(3s), 0);
  EXPECT_FALSE(IsSymlink(link));
}

TEST_F(BinaryTest, HangupClosesTheLineUnderTheHost) {
  Start({});
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(sim.Command("hangup"), "ok hangup");
  EXPECT_EQ(sim.WaitExit(3s), 0);
  pollfd p{host.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  EXPECT_FALSE(IsSymlink(link));
}

TEST_F(BinaryTest, ReplacesAnExistingLinkAndLeavesANewerOneAlone) {
  { std::ofstream(link) << "stale"; }
  Start({});
  ASSERT_TRUE(IsSymlink(link));
  // Another simulator takes the name over; ours must not remove it at exit.
  SimProcess second;
  ASSERT_EQ(second.Start(kBinary, {"--link", link}), "");
  EXPECT_EQ(sim.Command("quit"), "ok quit");
  EXPECT_EQ(sim.WaitExit(3s), 0);
  ASSERT_TRUE(IsSymlink(link));
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  host.Write(Request(1, 0));
  EXPECT_EQ(host.Read(22, 2s).size(), 22u);
  EXPECT_EQ(second.Requests(), 1);
}

TEST_F(BinaryTest, ReportsRelayPortChanges) {
  const std::string io = dir.File("iospace");
  {
    std::ofstream f(io, std::ios::binary);
    f << std::string(512, '\0');
  }
  Start({"--iospace", io});
  {
    std::fstream f(io, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(256);
    f.put(static_cast<char>(0x83));
  }
  const auto line = sim.WaitForLine("RELAYS", 2s);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, "RELAYS 0x83 1=closed 2=closed 3=open 4=open 5=open 6=open 7=open 8=closed");
  EXPECT_FALSE(sim.WaitForLine("RELAYS", 300ms).has_value());  // reported once per change
}

TEST_F(BinaryTest, ControlFifoTakesCommands) {
  const std::string fifo = dir.File("control");
  Start({"--control", fifo});
  {
    std::ofstream f(fifo);
    f << "silent 0\n";
  }
  EXPECT_EQ(sim.WaitForLine("ok", 2s).value_or(""), "ok silent 0");
  HostPort host(link);
  host.Write(Request(1, 0));
  EXPECT_TRUE(host.ReadFor(150ms).empty());
  EXPECT_EQ(sim.Command("quit"), "ok quit");
  EXPECT_EQ(sim.WaitExit(3s), 0);
  struct stat st {};
  EXPECT_NE(stat(fifo.c_str(), &st), 0);  // the FIFO it made is gone
}

TEST(BinaryDevice, ServesAnExistingSerialDevice) {
  if (access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
  TempDir dir;
  const std::string a = dir.File("a"), b = dir.File("b");
  SimProcess socat;  // only used to own and end the child
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/usr/bin/timeout", "timeout", "20", "/usr/bin/socat",
          ("pty,raw,echo=0,link=" + a).c_str(), ("pty,raw,echo=0,link=" + b).c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && (access(a.c_str(), F_OK) != 0 || access(b.c_str(), F_OK) != 0); ++i)
    std::this_thread::sleep_for(10ms);
  SimProcess sim;
  ASSERT_EQ(sim.Start(kBinary, {"--device", a, "--raw", "0.3=777"}), "");
  EXPECT_EQ(sim.firstLine(), "DEVICE " + a);
  {
    HostPort host(b);
    ASSERT_TRUE(host.ok());
    host.Write(Request(1, 0));
    const Bytes got = host.Read(22, 2s);
    ASSERT_EQ(got.size(), 22u);
    EXPECT_EQ(got[11], 777 & 0xFF);
    EXPECT_EQ(got[12], 777 >> 8);
  }
  sim.Stop();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

struct BadRun {
  const char* name;
  std::vector<std::string> args;
};

class BinaryBadOptions : public ::testing::TestWithParam<BadRun> {};

TEST_P(BinaryBadOptions, ExitWithStatus2AndAMessage) {
  const auto r = RunToEnd(kBinary, GetParam().args);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("w316sim: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");  // no PTY line: nothing was set up
}

INSTANTIATE_TEST_SUITE_P(Cases, BinaryBadOptions,
                         ::testing::Values(BadRun{"Unknown", {"--frobnicate"}},
                                           BadRun{"ModulesOutOfRange", {"--modules", "40"}},
                                           BadRun{"BadAddress", {"--address", "1-2"}},
                                           BadRun{"SettingForMissingModule", {"--temp", "3.0=20"}},
                                           BadRun{"BadFault", {"--late", "0=soon"}},
                                           BadRun{"SignedCount", {"--modules", "+2"}},
                                           BadRun{"IoSpaceInMissingFolder",
                                                  {"--iospace", "/nonexistent-w316sim/io"}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(BinaryHelp, PrintsUsageAndExitsZero) {
  const auto r = RunToEnd(kBinary, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: w316sim", 0), 0u);
  EXPECT_NE(r.out.find("--address A1:A2"), std::string::npos);
}

TEST(BinaryInput, EndOfStandardInputEndsTheSimulator) {
  const auto r = RunToEnd(kBinary, {}, 5s);  // stdin is /dev/null
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("PTY /dev/", 0), 0u);
}

// A line over 4096 bytes is reported once, when it passes the limit, and
// dropped up to its newline: the tail " silent 0" is no command of its own.
TEST(BinaryInput, OverlongLineIsReportedOnceAndDroppedWithItsTail) {
  SimProcess sim;
  ASSERT_EQ(sim.Start(kBinary, {}), "");
  const std::string tooLong = "error: command line longer than 4096 bytes, ignored up to its end";
  ASSERT_TRUE(sim.Send(std::string(5000, 'x')));
  EXPECT_EQ(sim.WaitForLine("error", 2s).value_or("nothing"), tooLong);
  std::this_thread::sleep_for(50ms);  // the tail comes in a later read
  ASSERT_TRUE(sim.Send(std::string(5000, 'x') + " silent 0\n"));
  // A line of exactly 4096 bytes is a command; its answer comes next.
  const std::string show = sim.Command("show 0" + std::string(4090, ' '));
  EXPECT_EQ(show.rfind("ok module 0 address 01:00 requests 0 replies 0 faults none", 0), 0u)
      << show.substr(0, 100);
  EXPECT_EQ(sim.Command(std::string(4097, '#')), tooLong);
  EXPECT_EQ(sim.Command("answer 0"), "ok answer 0");
}

// A flood of bytes without a newline (/dev/zero) or of short bad commands
// (yes) on standard input: memory stays flat, the line is still served and
// SIGTERM ends the simulator at once.
class BinaryFlood : public ::testing::TestWithParam<const char*> {};

TEST_P(BinaryFlood, KeepsMemoryFlatServesTheLineAndStopsAtOnceOnTerm) {
  TempDir dir;
  const std::string link = dir.File("com1");
  Children children;
  int in = -1;
  if (std::string(GetParam()) == "zero") {
    in = open("/dev/zero", O_RDONLY | O_CLOEXEC);
  } else {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    children.pids.push_back(w316sim_test::Spawn("/usr/bin/yes", {}, -1, p[1], -1));
    close(p[1]);
    in = p[0];
  }
  ASSERT_GE(in, 0);
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = w316sim_test::Spawn(kBinary, {"--link", link}, in, devnull, devnull);
  close(in);
  close(devnull);
  ASSERT_GT(pid, 0);
  children.pids.push_back(pid);
  ASSERT_TRUE(WaitForSymlink(link, 5s));

  const long before = ResidentKiB(pid);
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  host.Write(Request(1, 0));
  EXPECT_EQ(host.Read(22, 2s).size(), 22u);
  std::this_thread::sleep_for(1s);
  const long after = ResidentKiB(pid);
  ASSERT_GT(before, 0);
  ASSERT_GT(after, 0) << "the simulator is gone";
  if (kResidentMemoryTellsGrowth) {
    EXPECT_LT(after - before, 16 * 1024) << before << " KiB, then " << after << " KiB";
  }

  const auto sent = Clock::now();
  kill(pid, SIGTERM);
  const int status = w316sim_test::WaitExitOf(pid, 2s);
  EXPECT_EQ(status, 0);
  EXPECT_LT(Clock::now() - sent, 500ms);
  if (status != -2) children.Forget(pid);
  EXPECT_FALSE(IsSymlink(link));
}

INSTANTIATE_TEST_SUITE_P(Sources, BinaryFlood, ::testing::Values("zero", "yes"));

// Closed standard descriptors are opened on /dev/null before anything else, so
// that the signal pipe and the pty do not take them (the PTY line written into
// the signal pipe would end the simulator; the pty master as descriptor 2 would
// carry the log onto the line); a closed standard input is no command source.
TEST(BinaryStartup, ClosedStandardDescriptorsAreNotTakenForItsOwnFiles) {
  TempDir dir;
  const std::string link = dir.File("com1");
  Children children;
  const pid_t pid = w316sim_test::Spawn(kBinary, {"--link", link, "--log"}, -1, -1, -1);
  ASSERT_GT(pid, 0);
  children.pids.push_back(pid);
  ASSERT_TRUE(WaitForSymlink(link, 5s));
  HostPort host(link);
  ASSERT_TRUE(host.ok());
  host.Write(Request(1, 0));
  EXPECT_EQ(host.Read(22, 2s).size(), 22u);
  EXPECT_TRUE(host.ReadFor(200ms).empty());  // the reply and nothing else
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the simulator ended by itself";
  kill(pid, SIGTERM);
  const int status = w316sim_test::WaitExitOf(pid, 2s);
  EXPECT_EQ(status, 0);
  if (status != -2) children.Forget(pid);
  EXPECT_FALSE(IsSymlink(link));
}

}  // namespace
}  // namespace w316sim
