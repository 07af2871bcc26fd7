// The periodic timer on Windows: a multimedia timer whose callback runs on the
// timer service's own thread.
#pragma once

#include <windows.h>

#include <atomic>

#include "core/platform.h"

namespace wexlink::win32 {

// Set by DllMain when the process is ending (DLL_PROCESS_DETACH with a
// non-null lpReserved): every other thread, the timer service's included, is
// already gone, possibly in the middle of a tick.
void NoteProcessExit();
bool ProcessIsExiting();

class MultimediaTimer final : public PeriodicTimer {
 public:
  // Without the synchronous kill (older systems, and a test of that case) the
  // kill's own wait is all that keeps a tick in progress from outliving it.
  explicit MultimediaTimer(bool synchronousKill = true) : synchronousKill_(synchronousKill) {}
  ~MultimediaTimer() override { Kill(); }
  MultimediaTimer(const MultimediaTimer&) = delete;
  MultimediaTimer& operator=(const MultimediaTimer&) = delete;

  bool Start(uint32_t periodMs, uint32_t resolutionMs, Callback tick, void* context) override;
  // No tick is at work once this returns, and none starts afterwards.
  void Kill() override;

  bool Running() const { return id_ != 0; }

 private:
  static void CALLBACK OnTimer(UINT timerId, UINT message, DWORD_PTR user, DWORD_PTR, DWORD_PTR);

  bool synchronousKill_;
  UINT id_ = 0;
  Callback tick_ = nullptr;
  void* context_ = nullptr;
  // A kill clears `live_` and then waits for `inProgress_` to reach 0. A
  // callback counts itself in before it looks at `live_`, so either the kill
  // sees it and waits, or it sees the kill and does nothing. This also covers
  // timer services that deliver one more callback after the kill returned.
  std::atomic<bool> live_{false};
  std::atomic<int32_t> inProgress_{0};
};

}  // namespace wexlink::win32
