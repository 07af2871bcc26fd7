#include <windows.h>

#include <stdexcept>

#include "stop_signal.h"

namespace wexread {
namespace {

volatile std::sig_atomic_t g_stopSignal = 0;
HANDLE g_wake = nullptr;  // manual reset: set once, at the first request

// Runs on a thread the system starts for the console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_stopSignal = SIGINT;
      SetEvent(g_wake);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns: the reader gets a few seconds to
      // write its last rows and leave on its own.
      g_stopSignal = SIGTERM;
      SetEvent(g_wake);
      Sleep(4000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void InstallStopHandlers() {
  g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_wake == nullptr || !SetConsoleCtrlHandler(OnConsoleEvent, TRUE))
    throw std::runtime_error("cannot install the console's Ctrl+C handler");
}

void ReceiveStopRequests() {}  // console events come on threads of their own

const volatile std::sig_atomic_t* StopFlag() { return &g_stopSignal; }

bool TakeReopenRequest() { return false; }

bool WaitForStop(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= left.zero()) return false;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  const DWORD timeout =
      ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
  return WaitForSingleObject(g_wake, timeout) == WAIT_OBJECT_0;
}

}  // namespace wexread
