// The relay port probe on Windows. Without a port-access driver the processor
// refuses the port instructions in user mode; only running one tells. The probe
// reads the relay port once (a read changes no output) under a handler that
// steps over the refused instruction, exactly as the library does with its own.
#include <windows.h>

#include <atomic>
#include <string>

#include "relay_access.h"

#define WEXMON_STRING2(x) #x
#define WEXMON_STRING(x) WEXMON_STRING2(x)
#define WEXMON_PROBE_LABEL WEXMON_STRING(__USER_LABEL_PREFIX__) "wexmon_relay_probe_in"

extern "C" char wexmon_relay_probe_in[];  // the probe's in instruction (one byte)

namespace wexmon {
namespace {

std::atomic<bool> g_refused{false};

LONG CALLBACK StepOverProbe(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_PRIV_INSTRUCTION ||
      exception->ExceptionRecord->ExceptionAddress != static_cast<void*>(wexmon_relay_probe_in)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  g_refused.store(true);
#ifdef _WIN64
  exception->ContextRecord->Rip += 1;
#else
  exception->ContextRecord->Eip += 1;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

// One function and one label: never inlined or cloned.
__attribute__((noinline, noclone)) void ProbeIn(std::uint16_t port) {
  unsigned char value = 0;
  asm volatile(".globl " WEXMON_PROBE_LABEL "\n" WEXMON_PROBE_LABEL ":\n\tinb %%dx, %%al"
               : "=a"(value)
               : "d"(port)
               : "memory");
  (void)value;
}

}  // namespace

std::optional<std::string> RelayPortUnreachable(std::uint16_t port) {
  wchar_t path[8] = {};
  if (GetEnvironmentVariableW(L"WEXLINK_IOSPACE", path, 8) != 0) return std::nullopt;
  PVOID handler = AddVectoredExceptionHandler(1, &StepOverProbe);
  if (handler == nullptr) return std::nullopt;
  g_refused.store(false);
  ProbeIn(port);
  RemoveVectoredExceptionHandler(handler);
  if (!g_refused.load()) return std::nullopt;
  return std::string("the port instructions are refused, this program has no port access");
}

std::string RelayWarningText(std::uint16_t port, const std::string& reason) {
  return "The relay outputs cannot reach I/O port " + std::to_string(port) + ": " + reason +
         ".\n\nOn Windows a port-access driver is needed.\n\n"
         "The relay indicators still change; the outputs do not.";
}

}  // namespace wexmon
