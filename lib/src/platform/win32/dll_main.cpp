// The library's entry point. Load and unload work is done by the constructor
// and destructor of the library's one Driver, which the C runtime runs around
// this function; the destructor runs after this function's DLL_PROCESS_DETACH.
#include <windows.h>

#include "win32_timer.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // A non-null lpReserved on detach means the process is ending rather than
  // the library being freed: the timer service's thread is gone, so the
  // unload must not wait for it.
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) wexlink::win32::NoteProcessExit();
  return TRUE;
}
