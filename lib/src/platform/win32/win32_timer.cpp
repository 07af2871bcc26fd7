#include "win32_timer.h"

#include <mmsystem.h>

namespace wexlink::win32 {
namespace {

std::atomic<bool> g_processExiting{false};

constexpr UINT kPeriodic = TIME_PERIODIC | TIME_CALLBACK_FUNCTION;

}  // namespace

void NoteProcessExit() { g_processExiting.store(true); }
bool ProcessIsExiting() { return g_processExiting.load(); }

bool MultimediaTimer::Start(uint32_t periodMs, uint32_t resolutionMs, Callback tick,
                            void* context) {
  Kill();
  tick_ = tick;
  context_ = context;
  live_.store(true);
  const auto user = reinterpret_cast<DWORD_PTR>(this);
  // A synchronous kill waits for a callback in progress; timer services that
  // do not know the flag refuse it, and then the plain timer is taken (Kill
  // waits for the tick itself).
  if (synchronousKill_) {
    id_ = timeSetEvent(periodMs, resolutionMs, &MultimediaTimer::OnTimer, user,
                       kPeriodic | TIME_KILL_SYNCHRONOUS);
  }
  if (id_ == 0)
    id_ = timeSetEvent(periodMs, resolutionMs, &MultimediaTimer::OnTimer, user, kPeriodic);
  if (id_ == 0) {
    live_.store(false);
    return false;
  }
  return true;
}

void MultimediaTimer::Kill() {
  if (id_ == 0) return;
  live_.store(false);
  const UINT id = id_;
  id_ = 0;
  // At process exit the timer service's thread has been terminated, perhaps
  // inside a tick (whose count then never drops) or holding the service's own
  // lock: neither the kill nor the wait could finish, and no tick can run again.
  if (ProcessIsExiting()) return;
  timeKillEvent(id);
  // Waiting here is safe under the loader lock (FreeLibrary): a tick never
  // needs it.
  while (inProgress_.load() != 0) Sleep(1);
}

void CALLBACK MultimediaTimer::OnTimer(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* self = reinterpret_cast<MultimediaTimer*>(user);
  self->inProgress_.fetch_add(1);
  if (self->live_.load()) self->tick_(self->context_);
  self->inProgress_.fetch_sub(1);
}

}  // namespace wexlink::win32
