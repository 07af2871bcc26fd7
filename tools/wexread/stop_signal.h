// The request to stop (SIGINT, SIGTERM on POSIX systems, where SIGHUP asks
// to reopen the output instead; Ctrl+C,
// Ctrl+Break and closing the console on Windows) and the reader's wait for it
// or for its next deadline. One file per system: stop_signal_posix.cpp,
// stop_signal_win32.cpp.
#pragma once

#include <chrono>
#include <csignal>

namespace wexread {

// Before any thread is started: installs the handlers. On POSIX systems the
// stop signals are blocked here, so that every thread started later inherits
// the mask. Throws std::runtime_error when it cannot set up the wake-up.
void InstallStopHandlers();

// From the waiting thread once every other thread has started: from here on
// the stop requests come to it (and interrupt a write of its that blocks).
void ReceiveStopRequests();

// Nonzero once a stop was asked for (the signal number; SIGINT for a console
// event). Writes read it to give way.
const volatile std::sig_atomic_t* StopFlag();
inline bool StopRequested() { return *StopFlag() != 0; }

// True once after each request to reopen the output file (SIGHUP, after log
// rotation); never on Windows.
bool TakeReopenRequest();

// Sleeps until `deadline` or a stop request, whichever comes first. True when
// woken before the deadline (a stop, a reopen request or a spurious wake:
// callers look at the flag, the request and the clock again).
bool WaitForStop(std::chrono::steady_clock::time_point deadline);

}  // namespace wexread
