// Tests of the Windows back ends themselves (serial device, multimedia timer),
// run under Wine against the module simulator on a COM port. Prints one line
// per check and "ALL CHECKS PASSED" at the very end.
//
//   win32_backend_test.exe [--port N] [--dead-port N]
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "win32_serial.h"
#include "win32_timer.h"

namespace {

using wexlink::win32::MultimediaTimer;
using wexlink::win32::Win32Serial;

int g_failures = 0;
int g_checks = 0;

void Check(bool ok, const std::string& what) {
  ++g_checks;
  if (!ok) ++g_failures;
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
}

// The DCB's bit fields live in the 32-bit word after DCBlength and BaudRate.
uint32_t BitFieldWord(const DCB& dcb) {
  uint32_t word;
  std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + 2 * sizeof(DWORD), sizeof word);
  return word;
}
void SetBitFieldWord(DCB& dcb, uint32_t word) {
  std::memcpy(reinterpret_cast<char*>(&dcb) + 2 * sizeof(DWORD), &word, sizeof word);
}

void CheckRawLine() {
  for (const uint32_t before : {0xFFFFFFFFu, 0u, 0x12345678u, 0x00008083u}) {
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.XonLim = 0x1111;
    SetBitFieldWord(dcb, before);
    wexlink::win32::MakeRawLine(dcb);
    char text[96];
    std::snprintf(text, sizeof text, "raw line clears exactly 0x7F7C of %08x (got %08x)",
                  static_cast<unsigned>(before), static_cast<unsigned>(BitFieldWord(dcb)));
    Check(BitFieldWord(dcb) == (before & ~0x7F7Cu) && dcb.BaudRate == 9600 && dcb.XonLim == 0x1111,
          text);
  }
}

// What the serial device gives CreateFileW: COM10 and above open only by their
// device-namespace name, and COM1 to COM9 take the same form.
std::wstring g_createdName;
HANDLE WINAPI RecordName(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  g_createdName = name;
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

void CheckDeviceNames() {
  const struct {
    const char* given;
    const wchar_t* opened;
  } cases[] = {{"COM1:", L"\\\\.\\COM1"},
               {"COM12:", L"\\\\.\\COM12"},
               {"COM256:", L"\\\\.\\COM256"},
               {"NUL", L"NUL"}};
  for (const auto& c : cases) {
    Win32Serial serial(&RecordName);
    g_createdName.clear();
    const bool opened = serial.Open(c.given, "9600,N,8,1");
    Check(!opened && g_createdName == c.opened,
          std::string("CreateFileW is given the device name for ") + c.given);
  }
}

void CheckSerial(int port, int deadPort) {
  const std::string name = "COM" + std::to_string(port) + ":";
  const std::string deadName = "COM" + std::to_string(deadPort) + ":";
  Win32Serial serial;
  Check(
      !serial.Open(deadName.c_str(), "9600,N,8,1") && serial.NativeHandle() == INVALID_HANDLE_VALUE,
      "a missing port does not open");
  Check(!serial.Open(name.c_str(), "fast please") && serial.NativeHandle() == INVALID_HANDLE_VALUE,
        "a rejected line definition leaves the port closed");

  Check(serial.Open(name.c_str(), "9600,N,8,1"), "open " + name + " with 9600,N,8,1");
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  Check(GetCommState(serial.NativeHandle(), &dcb) != FALSE, "GetCommState on the open port");
  Check(dcb.BaudRate == 9600 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY &&
            dcb.StopBits == ONESTOPBIT,
        "line runs at 9600 baud, 8 data bits, no parity, 1 stop bit");
  // DTR and RTS are not read back: a pseudo-terminal has no modem lines, and
  // Wine reports them on whatever was set (MakeRawLine is checked above).
  Check(!dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fOutX && !dcb.fInX,
        "no CTS, DSR or XON/XOFF flow control");

  // Reopening the open port closes the old handle first.
  Check(serial.Open(name.c_str(), "9600,N,8,1"), "reopen the open port");

  int32_t in = -1, out = -1;
  serial.QueryQueues(in, out);
  Check(in == 0 && out >= 0, "queues empty after the open (in " + std::to_string(in) + ")");
  const uint8_t request[6] = {0xAA, 0x03, 0x01, 0x00, 0x04, 0x55};
  Check(serial.Write(request, 6) == 6, "a request frame is written whole");
  const DWORD start = GetTickCount();
  do {
    Sleep(10);
    serial.QueryQueues(in, out);
  } while (in < 22 && GetTickCount() - start < 3000);
  Check(in == 22,
        "the module's 22-byte reply waits in the input queue (" + std::to_string(in) + ")");
  uint8_t reply[32] = {};
  Check(serial.Read(reply, 10) == 10, "a read takes only what was asked");
  serial.QueryQueues(in, out);
  Check(in == 12, "the rest stays in the queue (" + std::to_string(in) + ")");
  Check(serial.Read(reply + 10, in) == 12 && reply[0] == 0xAA && reply[21] == 0x55,
        "the rest is read and the frame is AA ... 55");

  serial.Close();
  Check(serial.NativeHandle() == INVALID_HANDLE_VALUE, "close");
  in = 77;
  serial.QueryQueues(in, out);
  Check(in == 77 && serial.Write(request, 6) == 0 && serial.Read(reply, 6) == 0,
        "a closed device does nothing");
  // "COM12:" would not open here: a port above COM9 has only its device name.
  HANDLE other =
      CreateFileW(wexlink::win32::DevicePath(name.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Check(other != INVALID_HANDLE_VALUE, "the port can be opened again after the close");
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
}

struct TickProbe {
  std::atomic<int> ticks{0};
  std::atomic<bool> inTick{false};
  std::atomic<bool> sawOverlap{false};
  DWORD holdMs = 0;
  HANDLE entered = nullptr;  // set when a tick begins
  HANDLE release = nullptr;  // a held tick waits for it
};

void ProbeTick(void* context) {
  auto* probe = static_cast<TickProbe*>(context);
  if (probe->inTick.exchange(true)) probe->sawOverlap = true;
  if (probe->entered != nullptr) SetEvent(probe->entered);
  if (probe->release != nullptr) WaitForSingleObject(probe->release, 10000);
  if (probe->holdMs != 0) Sleep(probe->holdMs);
  probe->ticks.fetch_add(1);
  probe->inTick = false;
}

void CheckTimer() {
  {
    TickProbe probe;
    MultimediaTimer timer;
    Check(timer.Start(20, 2, ProbeTick, &probe), "a 20 ms periodic timer starts");
    Sleep(500);
    timer.Kill();
    const int ticks = probe.ticks.load();
    Check(ticks >= 10 && ticks <= 30, "about 25 ticks in 500 ms (" + std::to_string(ticks) + ")");
    Sleep(100);
    Check(probe.ticks.load() == ticks, "no tick after Kill returned");
    timer.Kill();
    Check(!timer.Running(), "a second Kill is harmless");
  }
  for (const bool synchronous : {true, false}) {
    // Kill while a tick is at work: the kill returns only after that tick.
    const std::string kind = synchronous ? " (synchronous kill)" : " (plain kill)";
    TickProbe probe;
    probe.entered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    probe.holdMs = 300;
    MultimediaTimer timer(synchronous);
    Check(timer.Start(50, 2, ProbeTick, &probe), "start a timer with slow ticks" + kind);
    Check(WaitForSingleObject(probe.entered, 2000) == WAIT_OBJECT_0, "a tick began");
    const DWORD start = GetTickCount();
    timer.Kill();
    const DWORD waited = GetTickCount() - start;
    const int ticks = probe.ticks.load();
    Check(!probe.inTick.load() && ticks >= 1,
          "Kill waited for the tick in progress (" + std::to_string(waited) + " ms)" + kind);
    Sleep(200);
    Check(probe.ticks.load() == ticks && !probe.inTick.load(),
          "nothing ticks after the kill" + kind);
    Check(!probe.sawOverlap.load(), "ticks never overlap");
    CloseHandle(probe.entered);
  }
  {
    // Restart after a kill uses the new callback context only.
    TickProbe first, second;
    MultimediaTimer timer;
    Check(timer.Start(20, 2, ProbeTick, &first), "start");
    Sleep(100);
    timer.Kill();
    const int firstTicks = first.ticks.load();
    Check(timer.Start(20, 2, ProbeTick, &second), "restart after a kill");
    Sleep(200);
    timer.Kill();
    // About 10 ticks; a first timer left running would add its own.
    const int secondTicks = second.ticks.load();
    Check(first.ticks.load() == firstTicks && secondTicks >= 3 && secondTicks <= 14,
          "the restarted timer alone ticks, the new context only (" + std::to_string(secondTicks) +
              " ticks in 200 ms)");
  }
  {
    MultimediaTimer timer;
    TickProbe probe;
    Check(!timer.Start(0, 2, ProbeTick, &probe) && !timer.Running(),
          "a period of 0 is refused by the timer service");
  }
  {
    // At process exit the timer thread is gone, perhaps inside a tick: the
    // kill must not wait for it. Simulated with a tick that is held.
    // The timer is left to the timer service (as at a real exit), so it and
    // its probe live until the process ends.
    static TickProbe probe;
    probe.entered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    probe.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    static MultimediaTimer timer;
    Check(timer.Start(20, 2, ProbeTick, &probe), "start a timer whose tick will hang");
    Check(WaitForSingleObject(probe.entered, 2000) == WAIT_OBJECT_0, "the tick hangs");
    wexlink::win32::NoteProcessExit();
    const DWORD start = GetTickCount();
    timer.Kill();
    const DWORD took = GetTickCount() - start;
    Check(took < 100, "at process exit Kill does not wait (" + std::to_string(took) + " ms)");
    SetEvent(probe.release);
    Sleep(100);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 1;
  int deadPort = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--dead-port") == 0) deadPort = std::atoi(argv[i + 1]);
  }
  CheckRawLine();
  CheckDeviceNames();
  CheckSerial(port, deadPort);
  CheckTimer();
  std::printf("%d checks, %d failed\n", g_checks, g_failures);
  if (g_failures != 0) return 1;
  std::printf("ALL CHECKS PASSED\n");
  return 0;
}
