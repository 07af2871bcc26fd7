#include "platform/posix/machine_primitives.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__)) && __has_include(<sys/io.h>)
#include <sys/io.h>
#define WEXLINK_PORT_INSTRUCTIONS 1
#else
#define WEXLINK_PORT_INSTRUCTIONS 0
#endif

namespace wexlink::posix {
namespace {

#if WEXLINK_PORT_INSTRUCTIONS
// Both kinds of permission belong to the thread that asked for them.
thread_local bool tAllPorts = false;
thread_local uint64_t tOpened[PortPrimitives::kRangeLimit / 64];
// Set once the kernel refuses for want of privilege (EPERM) or support
// (ENOSYS, EINVAL); that does not change while the process runs.
std::atomic<bool> gAllPortsRefused{false};
std::atomic<bool> gRangesRefused{false};

bool Permanent(int error) { return error == EPERM || error == ENOSYS || error == EINVAL; }

// A guarded instruction: while it runs, a SIGSEGV on this thread (the
// processor refusing the port) jumps back to Guarded instead of ending the
// process. One guarded instruction at a time; the handler that was there before
// is put back afterwards. A fault of another thread in that moment is not
// ours: the handler reinstalls the previous one and returns, so the faulting
// instruction runs again under it.
// Volatile: the port instructions are not memory accesses to the compiler,
// which could otherwise drop the store before them as dead.
thread_local sigjmp_buf* volatile tRefusalLanding = nullptr;
std::mutex gGuardMutex;
struct sigaction gPreviousHandler {};

void OnRefusedInstruction(int /*signal*/, siginfo_t* /*info*/, void* /*context*/) {
  if (tRefusalLanding != nullptr) siglongjmp(*tRefusalLanding, 1);
  sigaction(SIGSEGV, &gPreviousHandler, nullptr);
}

template <typename Instruction>
bool Guarded(Instruction instruction) {
  std::lock_guard lock(gGuardMutex);
  struct sigaction ours {};
  ours.sa_sigaction = &OnRefusedInstruction;
  ours.sa_flags = SA_SIGINFO;
  sigemptyset(&ours.sa_mask);
  if (sigaction(SIGSEGV, &ours, &gPreviousHandler) != 0) return false;
  sigjmp_buf landing;
  volatile bool done = false;
  if (sigsetjmp(landing, 1) == 0) {
    tRefusalLanding = &landing;
    instruction();
    done = true;
  }
  tRefusalLanding = nullptr;
  sigaction(SIGSEGV, &gPreviousHandler, nullptr);
  return done;
}

uint32_t In(uint16_t port, unsigned width) {
  if (width == 1) return inb(port);
  if (width == 2) return inw(port);
  return inl(port);
}

void Out(uint16_t port, uint32_t value, unsigned width) {
  if (width == 1) outb(static_cast<uint8_t>(value), port);
  if (width == 2) outw(static_cast<uint16_t>(value), port);
  if (width == 4) outl(value, port);
}
#endif

// /dev/port, opened at its first use; -1 when it cannot be.
int DevPort() {
  static std::once_flag opened;
  static int fd = -1;
  std::call_once(opened, [] { fd = ::open("/dev/port", O_RDWR | O_CLOEXEC); });
  return fd;
}

class MachinePrimitives final : public PortPrimitives {
 public:
  bool HasInstructions() const override { return WEXLINK_PORT_INSTRUCTIONS != 0; }

  bool OpenAllPorts() override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (tAllPorts) return true;
    if (gAllPortsRefused.load(std::memory_order_relaxed)) return false;
    if (iopl(3) == 0) return tAllPorts = true;
    if (Permanent(errno)) gAllPortsRefused.store(true, std::memory_order_relaxed);
#endif
    return false;
  }

  bool OpenPortRange(uint16_t port, unsigned width) override {
#if WEXLINK_PORT_INSTRUCTIONS
    if (port + width > kRangeLimit) return false;
    bool all = true;
    for (unsigned p = port; p < port + width; ++p)
      all = all && ((tOpened[p / 64] >> (p % 64)) & 1u);
    if (all) return true;
    if (gRangesRefused.load(std::memory_order_relaxed)) return false;
    if (ioperm(port, width, 1) != 0) {
      if (Permanent(errno)) gRangesRefused.store(true, std::memory_order_relaxed);
      return false;
    }
    for (unsigned p = port; p < port + width; ++p) tOpened[p / 64] |= uint64_t{1} << (p % 64);
    return true;
#else
    (void)port;
    (void)width;
    return false;
#endif
  }

  uint32_t InstructionIn(uint16_t port, unsigned width) override {
#if WEXLINK_PORT_INSTRUCTIONS
    return In(port, width);
#else
    (void)port;
    return AllOnes(width);
#endif
  }

  void InstructionOut(uint16_t port, uint32_t value, unsigned width) override {
#if WEXLINK_PORT_INSTRUCTIONS
    Out(port, value, width);
#else
    (void)port;
    (void)value;
    (void)width;
#endif
  }

  bool GuardedInstructionIn(uint16_t port, unsigned width, uint32_t& value) override {
#if WEXLINK_PORT_INSTRUCTIONS
    volatile uint32_t got = AllOnes(width);
    const bool done = Guarded([&] { got = In(port, width); });
    value = got;
    return done;
#else
    (void)port;
    value = AllOnes(width);
    return false;
#endif
  }

  bool GuardedInstructionOut(uint16_t port, uint32_t value, unsigned width) override {
#if WEXLINK_PORT_INSTRUCTIONS
    return Guarded([&] { Out(port, value, width); });
#else
    (void)port;
    (void)value;
    (void)width;
    return false;
#endif
  }

  bool DevPortIn(uint16_t port, uint8_t& value) override {
    const int fd = DevPort();
    return fd >= 0 && pread(fd, &value, 1, port) == 1;
  }

  void DevPortOut(uint16_t port, uint8_t value) override {
    const int fd = DevPort();
    if (fd >= 0 && pwrite(fd, &value, 1, port) < 0) {
      // A port write has no result to report.
    }
  }
};

}  // namespace

std::unique_ptr<PortPrimitives> MakeMachinePrimitives() {
  return std::make_unique<MachinePrimitives>();
}

}  // namespace wexlink::posix
