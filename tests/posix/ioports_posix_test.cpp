// Only the file-backed port space and the selection between it and the
// machine are tested here, with a fake in place of the machine: this test
// program does not contain the code that reaches the machine's ports.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/granted_ports.h"
#include "platform/posix/io_space_file.h"
#include "platform/posix/machine_route.h"
#include "platform/posix/port_selection.h"
#include "posix_test_util.h"

namespace wexlink::posix {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct AccessCase {
  char width;  // 'b', 'w', 'd'
  uint16_t port;
  uint32_t value;
  std::vector<uint8_t> bytes;  // in the file from offset `port`
};

void PrintTo(const AccessCase& c, std::ostream* os) {
  *os << c.width << " port 0x" << std::hex << c.port << " value 0x" << c.value;
}

class FileIoSpaceAccess : public ::testing::TestWithParam<AccessCase> {};

TEST_P(FileIoSpaceAccess, WritesLittleEndianAtThePortOffsetAndReadsBack) {
  TempDir dir;
  const std::string path = dir.File("iospace");
  FileIoSpace io(path);
  const auto& c = GetParam();
  uint32_t back = 0;
  switch (c.width) {
    case 'b':
      io.Out8(c.port, static_cast<uint8_t>(c.value));
      back = io.In8(c.port);
      break;
    case 'w':
      io.Out16(c.port, static_cast<uint16_t>(c.value));
      back = io.In16(c.port);
      break;
    default:
      io.Out32(c.port, c.value);
      back = io.In32(c.port);
      break;
  }
  EXPECT_EQ(back, c.value);
  const auto file = FileBytes(path);
  ASSERT_GE(file.size(), static_cast<std::size_t>(FileIoSpace::kSize));
  ASSERT_GE(file.size(), c.port + c.bytes.size());
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + c.port,
                                 file.begin() + c.port + static_cast<long>(c.bytes.size())),
            c.bytes);
  // Nothing else was written.
  std::size_t nonZero = 0;
  for (const uint8_t b : file) nonZero += b != 0 ? 1 : 0;
  std::size_t expectedNonZero = 0;
  for (const uint8_t b : c.bytes) expectedNonZero += b != 0 ? 1 : 0;
  EXPECT_EQ(nonZero, expectedNonZero);
}

INSTANTIATE_TEST_SUITE_P(
    Accesses, FileIoSpaceAccess,
    ::testing::Values(AccessCase{'b', 256, 0xA5, {0xA5}}, AccessCase{'b', 0, 0x01, {0x01}},
                      AccessCase{'b', 0xFFFF, 0x7E, {0x7E}},
                      AccessCase{'w', 0x100, 0x1234, {0x34, 0x12}},
                      AccessCase{'w', 0x3F8, 0xFF00, {0x00, 0xFF}},
                      AccessCase{'d', 0x200, 0x89ABCDEF, {0xEF, 0xCD, 0xAB, 0x89}},
                      // The top ports reach past 64 KiB.
                      AccessCase{'w', 0xFFFF, 0xBEEF, {0xEF, 0xBE}},
                      AccessCase{'d', 0xFFFE, 0x01020304, {0x04, 0x03, 0x02, 0x01}}));

TEST(FileIoSpace, WidthsOverlapAsOnePortSpace) {
  TempDir dir;
  FileIoSpace io(dir.File("iospace"));
  io.Out32(0x300, 0x44332211);
  EXPECT_EQ(io.In8(0x300), 0x11);
  EXPECT_EQ(io.In8(0x303), 0x44);
  EXPECT_EQ(io.In16(0x301), 0x3322);
  io.Out8(0x302, 0xAA);
  EXPECT_EQ(io.In32(0x300), 0x44AA2211u);
  // A fresh file reads as zeros, also past its end.
  EXPECT_EQ(io.In32(0x1000), 0u);
  EXPECT_EQ(io.In32(0xFFFE), 0u);
}

TEST(FileIoSpace, KeepsTheContentsOfAnExistingFile) {
  TempDir dir;
  const std::string path = dir.File("iospace");
  {
    std::ofstream out(path, std::ios::binary);
    const char bytes[] = {0x10, 0x20, 0x30, 0x40};
    out.write(bytes, sizeof bytes);
  }
  FileIoSpace io(path);
  EXPECT_EQ(io.In32(0), 0x40302010u);
  EXPECT_EQ(std::filesystem::file_size(path), static_cast<uintmax_t>(FileIoSpace::kSize));
}

TEST(FileIoSpace, TwoUsersOfOneFileSeeEachOther) {
  TempDir dir;
  FileIoSpace writer(dir.File("iospace"));
  FileIoSpace reader(dir.File("iospace"));
  EXPECT_EQ(reader.In8(256), 0);
  writer.Out8(256, 0x81);
  EXPECT_EQ(reader.In8(256), 0x81);
}

TEST(FileIoSpace, UnusableFileBehavesLikeAbsentPorts) {
  TempDir dir;
  const std::string path = dir.File("missing-dir/iospace");
  FileIoSpace io(path);
  io.Out8(256, 0x12);
  io.Out32(256, 0x12345678);
  EXPECT_EQ(io.In8(256), 0xFF);
  EXPECT_EQ(io.In16(256), 0xFFFF);
  EXPECT_EQ(io.In32(256), 0xFFFFFFFFu);
  EXPECT_FALSE(std::filesystem::exists(path));
  // Once the directory exists, the file is made at the next access.
  std::filesystem::create_directory(dir.File("missing-dir"));
  io.Out8(256, 0x12);
  EXPECT_EQ(io.In8(256), 0x12);
}

// The file comes from the environment of a process that may be root: only a
// private regular file of the effective user is used; anything planted under
// the name is left untouched and reported once.
TEST(FileIoSpace, UsesOnlyARegularFileOfItsOwnAndCreatesItPrivate) {
  TempDir dir;
  const std::string victim = dir.File("victim");
  const auto plant = [&](const std::string& what, const std::string& path) {
    if (what == "symbolic link") std::filesystem::create_symlink(victim, path);
    if (what == "hard link") std::filesystem::create_hard_link(victim, path);
    if (what == "FIFO") mkfifo(path.c_str(), 0600);
    if (what == "directory") std::filesystem::create_directory(path);
    if (what == "file of another user") {
      std::ofstream(path) << "theirs";
      if (geteuid() != 0 || chown(path.c_str(), 65534, 65534) != 0) return false;
    }
    return true;
  };
  int planted = 0;
  for (const std::string what :
       {"symbolic link", "hard link", "FIFO", "directory", "file of another user"}) {
    SCOPED_TRACE(what);
    std::ofstream(victim, std::ios::trunc) << "secret";
    const std::string path = dir.File("iospace-" + std::to_string(++planted));
    if (!plant(what, path)) {
      std::cout << "[  NOTE    ] not root: " << what << " case skipped\n";
      continue;
    }
    FileIoSpace io(path);
    ::testing::internal::CaptureStderr();
    io.Out8(256, 0x12);
    io.Out8(0, 0x34);
    EXPECT_EQ(io.In8(256), 0xFF);
    EXPECT_EQ(io.In32(0), 0xFFFFFFFFu);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_EQ(FileBytes(victim), (std::vector<uint8_t>{'s', 'e', 'c', 'r', 'e', 't'}));
    if (what == "file of another user") {
      EXPECT_EQ(std::filesystem::file_size(path), 6u);
    }
  }

  const mode_t oldMask = umask(0);
  FileIoSpace io(dir.File("fresh"));
  io.Out8(256, 1);
  umask(oldMask);
  struct stat st {};
  ASSERT_EQ(lstat(dir.File("fresh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, FileIoSpace::kSize);
}

// ---- Choosing the port space ------------------------------------------------

// Stands in for the machine: nothing can be opened, so outside a claimed grant
// only /dev/port serves (bytes, read 0x5C); a port instruction records its port
// (read 0x11) and, guarded, succeeds only on the ports in `given`.
class FakeMachine final : public PortPrimitives {
 public:
  static inline int made = 0;
  static inline bool instructions = true;
  static inline std::vector<uint16_t> written, used, given;
  bool HasInstructions() const override { return instructions; }
  bool OpenAllPorts() override { return false; }
  bool OpenPortRange(uint16_t, unsigned) override { return false; }
  uint32_t InstructionIn(uint16_t port, unsigned width) override {
    used.push_back(port);
    return 0x11111111u & AllOnes(width);
  }
  void InstructionOut(uint16_t port, uint32_t, unsigned) override { used.push_back(port); }
  bool GuardedInstructionIn(uint16_t port, unsigned width, uint32_t& value) override {
    if (!Given(port, width)) return false;
    value = InstructionIn(port, width);
    return true;
  }
  bool GuardedInstructionOut(uint16_t port, uint32_t value, unsigned width) override {
    if (!Given(port, width)) return false;
    InstructionOut(port, value, width);
    return true;
  }
  bool DevPortIn(uint16_t, uint8_t& value) override {
    value = 0x5C;
    return true;
  }
  void DevPortOut(uint16_t port, uint8_t) override { written.push_back(port); }

 private:
  static bool Given(uint16_t port, unsigned width) {
    for (unsigned p = port; p < port + width; ++p) {
      if (std::find(given.begin(), given.end(), p) == given.end()) return false;
    }
    return true;
  }
};

std::unique_ptr<PortPrimitives> MakeFakeMachine() {
  ++FakeMachine::made;
  return std::make_unique<FakeMachine>();
}

class IoPortSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeMachine::made = 0;
    FakeMachine::instructions = true;
    FakeMachine::written.clear();
    FakeMachine::used.clear();
    FakeMachine::given.clear();
    for (unsigned p = 0; p <= 1023; ++p) FakeMachine::given.push_back(static_cast<uint16_t>(p));
  }
  TempDir dir;
};

TEST_F(IoPortSelection, VariableSetMeansTheFileAndNeverTheMachine) {
  const std::string path = dir.File("iospace");
  ScopedEnv env(kIoSpaceVariable, path);
  SelectedIoPorts ports(&MakeFakeMachine);
  ports.Out8(256, 0x0F);
  EXPECT_EQ(ports.In8(256), 0x0F);
  EXPECT_EQ(FakeMachine::made, 0);
  EXPECT_EQ(FileBytes(path).at(256), 0x0F);
}

TEST_F(IoPortSelection, ChoiceIsMadeAtFirstUseAndKept) {
  const std::string path = dir.File("iospace");
  SelectedIoPorts ports(&MakeFakeMachine);
  {
    // Set after construction, before the first access: still counts.
    ScopedEnv env(kIoSpaceVariable, path);
    ports.Out8(256, 0x33);
  }
  // Unset later: the file stays in use.
  ports.Out8(257, 0x44);
  EXPECT_EQ(FakeMachine::made, 0);
  EXPECT_EQ(FileBytes(path).at(257), 0x44);
}

TEST_F(IoPortSelection, UnsetOrEmptyVariableMeansTheMachine) {
  for (const auto& value : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    ScopedEnv env(kIoSpaceVariable, value);
    SelectedIoPorts ports(&MakeFakeMachine);
    EXPECT_EQ(ports.In8(256), 0x5C);
    ports.Out8(0x3F8, 1);
  }
  EXPECT_EQ(FakeMachine::made, 2);
  EXPECT_EQ(FakeMachine::written, (std::vector<uint16_t>{0x3F8, 0x3F8}));
}

// WEXLINK_GRANTED_PORTS: an access that lies wholly in the range takes the
// port instructions, every other one the fallback; a malformed value (one
// warning line) or no instructions at all mean the fallback everywhere.
TEST_F(IoPortSelection, GrantedRangeTakesThePortInstructionsOnlyInsideIt) {
  ScopedEnv noFile(kIoSpaceVariable, std::nullopt);
  struct Access {
    char width;
    uint16_t port;
  };
  const std::vector<Access> accesses{{'b', 255}, {'b', 256},  {'b', 257},  {'w', 255},  {'w', 256},
                                     {'d', 256}, {'b', 1023}, {'w', 1023}, {'d', 1020}, {'b', 0}};
  using Ports = std::vector<uint16_t>;
  const auto run = [&](const std::string& claim, bool withInstructions) {
    ScopedEnv env(kGrantedPortsVariable, claim);
    FakeMachine::instructions = withInstructions;
    SelectedIoPorts ports(&MakeFakeMachine);
    FakeMachine::used.clear();
    for (const Access& a : accesses) {
      if (a.width == 'b') ports.Out8(a.port, 1);
      if (a.width == 'w') ports.Out16(a.port, 1);
      if (a.width == 'd') ports.Out32(a.port, 1);
    }
    const Ports used = FakeMachine::used;
    // Reads go the same way.
    const bool in256 = std::find(used.begin(), used.end(), 256) != used.end();
    EXPECT_EQ(ports.In8(256), in256 ? 0x11 : 0x5C) << claim;
    return used;
  };
  EXPECT_EQ(run("256-256", true), (Ports{256}));
  EXPECT_EQ(run("256-257", true), (Ports{256, 257, 256}));
  EXPECT_EQ(run("0-1023", true), (Ports{255, 256, 257, 255, 256, 256, 1023, 1020, 0}));
  EXPECT_EQ(run("1023-1023", true), (Ports{1023}));
  for (const std::string bad :
       {"256", "256-", "-256", "257-256", "0256-256", "256-1024", "+256-256", " 256-256",
        "256-256 ", "256 - 256", "0x100-0x100", "256-256-256", "4294967552-256", "٢٥٦-256"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(bad, true), Ports{}) << bad;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("WEXLINK_GRANTED_PORTS ignored"), std::string::npos) << bad;
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run("256-256", false), Ports{});
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("no port instructions"),
            std::string::npos);
  EXPECT_EQ(run("", true), Ports{});
}

// The claim is believed port by port: the first access to each claimed port
// runs guarded; the first one the processor refuses drops the claim for good
// (one line) and that access and all later ones take the usual way, here
// /dev/port. Ports that answered before are not used bare any more either.
TEST_F(IoPortSelection, AClaimIsDroppedAtTheFirstPortThatWasNotGranted) {
  ScopedEnv noFile(kIoSpaceVariable, std::nullopt);
  ScopedEnv claim(kGrantedPortsVariable, "256-259");
  FakeMachine::given = {256, 257};
  SelectedIoPorts ports(&MakeFakeMachine);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ports.In16(256), 0x1111);
  ports.Out8(257, 1);
  EXPECT_EQ(ports.In8(256), 0x11);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(FakeMachine::used, (std::vector<uint16_t>{256, 257, 256}));
  ::testing::internal::CaptureStderr();
  ports.Out8(258, 2);  // refused: the claim goes
  EXPECT_EQ(ports.In8(256), 0x5C);
  ports.Out8(257, 3);
  EXPECT_EQ(ports.In16(258), 0xFFFF);  // no word through /dev/port
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "wexlink: WEXLINK_GRANTED_PORTS ignored: port 258 is not open to this process; the "
            "ports are reached as without it\n");
  EXPECT_EQ(FakeMachine::used, (std::vector<uint16_t>{256, 257, 256}));
  EXPECT_EQ(FakeMachine::written, (std::vector<uint16_t>{258, 257}));
}

TEST_F(IoPortSelection, WithoutMachineAccessNothingHappens) {
  ScopedEnv env(kIoSpaceVariable, std::nullopt);
  SelectedIoPorts ports(nullptr);
  ports.Out8(256, 1);
  EXPECT_EQ(ports.In8(256), 0xFF);
  EXPECT_EQ(ports.In16(256), 0xFFFF);
  EXPECT_EQ(ports.In32(256), 0xFFFFFFFFu);
}

// The machine's ports as the kernel lets this process use them: each access
// is one instruction of its own width or, for bytes only, /dev/port; a wider
// access is never split into bytes.
struct FakePrimitives final : PortPrimitives {
  bool allPorts = false, ranges = false, devPort = false;
  std::vector<std::string>* log;
  explicit FakePrimitives(std::vector<std::string>* l) : log(l) {}
  bool HasInstructions() const override { return true; }
  bool OpenAllPorts() override { return allPorts; }
  bool OpenPortRange(uint16_t, unsigned) override { return ranges; }
  uint32_t InstructionIn(uint16_t port, unsigned width) override {
    log->push_back("in" + std::to_string(width) + " " + std::to_string(port));
    return 0x12345678u & AllOnes(width);
  }
  void InstructionOut(uint16_t port, uint32_t value, unsigned width) override {
    log->push_back("out" + std::to_string(width) + " " + std::to_string(port) + "=" +
                   std::to_string(value));
  }
  bool GuardedInstructionIn(uint16_t, unsigned, uint32_t&) override { return false; }
  bool GuardedInstructionOut(uint16_t, uint32_t, unsigned) override { return false; }
  bool DevPortIn(uint16_t port, uint8_t& value) override {
    if (!devPort) return false;
    log->push_back("devport in " + std::to_string(port));
    value = 0x5A;
    return true;
  }
  void DevPortOut(uint16_t port, uint8_t value) override {
    if (devPort)
      log->push_back("devport out " + std::to_string(port) + "=" + std::to_string(value));
  }
};

TEST(MachinePorts, EachAccessIsWholeOrNothing) {
  using Log = std::vector<std::string>;
  const auto run = [](bool allPorts, bool ranges, bool devPort, uint16_t port) {
    Log log;
    auto primitives = std::make_unique<FakePrimitives>(&log);
    primitives->allPorts = allPorts;
    primitives->ranges = ranges;
    primitives->devPort = devPort;
    RoutedIoPorts ports(std::move(primitives));
    ports.Out8(port, 0x81);
    ports.Out16(port, 0x8182);
    ports.Out32(port, 0x81828384u);
    const uint32_t in = ports.In8(port) ^ ports.In16(port) ^ ports.In32(port);
    log.push_back("xor " + std::to_string(in));
    return log;
  };
  // Every port, above 0x3FF too, once the privilege level is raised.
  EXPECT_EQ(run(true, false, true, 0x1000),
            (Log{"out1 4096=129", "out2 4096=33154", "out4 4096=2172814212", "in1 4096", "in2 4096",
                 "in4 4096", "xor " + std::to_string(0x78 ^ 0x5678 ^ 0x12345678)}));
  // Opened ranges reach 0x3FF; an access that crosses it and ports above it
  // take /dev/port for bytes and nothing for words and double words.
  EXPECT_EQ(run(false, true, true, 0x100)[2], "out4 256=2172814212");
  EXPECT_EQ(run(false, true, true, 0x3FE),
            (Log{"out1 1022=129", "out2 1022=33154", "in1 1022", "in2 1022",
                 "xor " + std::to_string(0x78 ^ 0x5678 ^ 0xFFFFFFFFu)}));
  EXPECT_EQ(run(false, true, true, 0x1000),
            (Log{"devport out 4096=129", "devport in 4096",
                 "xor " + std::to_string(0x5A ^ 0xFFFF ^ 0xFFFFFFFFu)}));
  // /dev/port only, or nothing at all: absent ports.
  EXPECT_EQ(run(false, false, true, 0x100),
            (Log{"devport out 256=129", "devport in 256",
                 "xor " + std::to_string(0x5A ^ 0xFFFF ^ 0xFFFFFFFFu)}));
  EXPECT_EQ(run(false, false, false, 0x100),
            (Log{"xor " + std::to_string(0xFF ^ 0xFFFF ^ 0xFFFFFFFFu)}));
}

}  // namespace
}  // namespace wexlink::posix
