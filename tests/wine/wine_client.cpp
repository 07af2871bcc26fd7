// Drives wexlink.dll the way a Windows application does: loads it by file
// name, binds every function by the name a caller of this build binds
// (decorated on 32-bit Windows, plain on 64-bit) and runs the card
// interface against a module simulator on COM1. Prints one line per check and
// "ALL CHECKS PASSED" at the very end; a crash or hang never reaches that line.
//
//   wine_client.exe --values v0,...,v7 [--port N] [--dead-port N]
//   wine_client.exe --exit-while-running [--port N]
//   wine_client.exe --ports refused|file|unusable
//
// --ports checks the port functions: "refused" without WEXLINK_IOSPACE, where
// Wine (like Windows without a port-access driver) refuses the instructions;
// "file" and "unusable" with WEXLINK_IOSPACE naming a new file or something
// that is not a regular file.
#include <float.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "checks.h"
#include "wexlink.h"

namespace {

// name, argument bytes, ordinal
#define WEXLINK_EXPORTS(X)  \
  X(ADResult, 4, 1)         \
  X(ADResultRecent, 4, 2)   \
  X(ChannelFrq, 8, 3)       \
  X(ConfigInfo, 32, 4)      \
  X(GetADPropStrSize, 0, 5) \
  X(GetADPropString, 4, 6)  \
  X(GetLastADError, 0, 7)   \
  X(GetSnapshot, 12, 8)     \
  X(IOCtl, 16, 9)           \
  X(Initial, 16, 10)        \
  X(QueryBuf, 0, 11)        \
  X(RegisterNotify, 20, 12) \
  X(StartIntr, 28, 13)      \
  X(StartSnapshot, 32, 14)  \
  X(StopIntr, 0, 15)        \
  X(inport, 4, 16)          \
  X(inportb, 4, 17)         \
  X(inportdw, 4, 18)        \
  X(outport, 8, 19)         \
  X(outportb, 8, 20)        \
  X(outportdw, 8, 21)

struct Api {
#define DECLARE_ENTRY(name, bytes, ordinal) decltype(&::name) name = nullptr;
  WEXLINK_EXPORTS(DECLARE_ENTRY)
#undef DECLARE_ENTRY
};

template <typename Fn>
Fn As(FARPROC proc) {
  // Through void(*)(), which converts to and from any function pointer.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// The 32-bit DLL exports the decorated stdcall names only, ordinals 1 to 21.
// The 64-bit one exports the plain names with those ordinals and the decorated
// names as aliases, ordinals 22 to 42. Binds every entry the way a caller of
// this build does and checks the rest of the table around it.
#if defined(_WIN64)
constexpr int kExportCount = 42;
#define BOUND_NAME(name, bytes) #name
#else
constexpr int kExportCount = 21;
#define BOUND_NAME(name, bytes) "_" #name "@" #bytes
#endif

bool Bind(HMODULE dll, Api& api) {
  bool all = true;
#define BIND_ENTRY(name, bytes, ordinal)                                                      \
  {                                                                                           \
    FARPROC bound = GetProcAddress(dll, BOUND_NAME(name, bytes));                             \
    FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));                       \
    FARPROC plain = GetProcAddress(dll, #name);                                               \
    FARPROC decorated = GetProcAddress(dll, "_" #name "@" #bytes);                            \
    FARPROC alias = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal + 21));                      \
    const bool is64 = kExportCount == 42;                                                     \
    const bool ok = bound != nullptr && bound == byOrdinal && decorated == bound &&           \
                    plain == (is64 ? bound : nullptr) && alias == (is64 ? bound : nullptr) && \
                    GetProcAddress(dll, #name "@" #bytes) == nullptr;                         \
    if (!ok) {                                                                                \
      Check(false, "bind " #name,                                                             \
            Format("%s %p, ordinal %d %p, plain %p, decorated %p", BOUND_NAME(name, bytes),      \
                reinterpret_cast<void*>(bound), ordinal, reinterpret_cast<void*>(byOrdinal),  \
                reinterpret_cast<void*>(plain), reinterpret_cast<void*>(decorated)));         \
      all = false;                                                                            \
    }                                                                                         \
    api.name = As<decltype(&::name)>(bound);                                                  \
  }
  WEXLINK_EXPORTS(BIND_ENTRY)
#undef BIND_ENTRY
#if defined(_WIN64)
  Check(all,
        "21 functions bound by plain name, ordinals 1 to 21 match; decorated aliases 22 to 42");
#else
  Check(all, "21 functions bound by decorated name, ordinals 1 to 21 match, no plain names");
#endif
  Check(GetProcAddress(dll, MAKEINTRESOURCEA(kExportCount + 1)) == nullptr,
        Format("no ordinal %d", kExportCount + 1).c_str());
  return all;
}

// ---- A message-only window that collects the library's notifications ----------

constexpr UINT kNotifyMessage = WM_APP + 7;
constexpr uint32_t kNotifyWParam = 0x1234;
constexpr uint32_t kNotifyLParam = 0xABCD0001u;

struct Notification {
  WPARAM wParam;
  LPARAM lParam;
};
std::vector<Notification> g_notifications;

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kNotifyMessage) {
    g_notifications.push_back({wParam, lParam});
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateNotifyWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = NotifyWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "WexlinkWineClient";
  RegisterClassA(&wc);
  return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         wc.hInstance, nullptr);
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Pumps messages until done() or the time is up; returns done().
template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    PumpMessages();
    if (done()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(timeoutMs - elapsed, 50),
                              QS_ALLINPUT);
  }
}

// Every run leaves the reply to its last request in the line (the library
// never purges the queues), and the next run would count it as a missed
// reply. The checks below start each run on a quiet line.
HANDLE OpenPort(uint32_t port) {
  return CreateFileA(("COM" + std::to_string(port) + ":").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD WaitingBytes(HANDLE h) {
  COMSTAT status{};
  DWORD errors = 0;
  ClearCommError(h, &errors, &status);
  return status.cbInQue;
}

void DrainPort(HANDLE h) {
  Sleep(100);
  uint8_t junk[256];
  for (DWORD n = WaitingBytes(h); n > 0; n = WaitingBytes(h)) {
    DWORD got = 0;
    ReadFile(h, junk, std::min<DWORD>(n, sizeof junk), &got, nullptr);
  }
}

void DrainPort(uint32_t port) {
  HANDLE h = OpenPort(port);
  if (h == INVALID_HANDLE_VALUE) return;
  DrainPort(h);
  CloseHandle(h);
}

// ---- Checks --------------------------------------------------------------------

uint32_t FloatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

uint64_t DoubleBits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

void CheckInformation(const Api& api) {
  // An error left from a failed call; the information calls must not touch it.
  Check(api.RegisterNotify(4, 1, 1, 0, 0) == 0 && api.GetLastADError() == WEXLINK_E_SLOT,
        "RegisterNotify slot 4 refused with 13");
  char model[8];
  std::memset(model, 0x7F, sizeof model);
  int32_t limit = 0, c1 = 0, c10a = 0, c10b = 0, c0 = -1;
  float half = 0, span = 0;
  api.ConfigInfo(model, &limit, &c1, &c10a, &c10b, &half, &span, &c0);
  Check(std::memcmp(model, "W316", 5) == 0 && model[5] == 0x7F, "ConfigInfo model name W316",
        Format("%.5s", model));
  Check(limit == 256 && c1 == 1 && c10a == 10 && c10b == 10 && c0 == 0,
        "ConfigInfo constants 256, 1, 10, 10, 0", Format("%d %d %d %d %d", limit, c1, c10a, c10b, c0));
  Check(FloatBits(half) == 0x47000000u && FloatBits(span) == 0x47800000u,
        "ConfigInfo spans 32768.0f and 65536.0f",
        Format("%08x %08x", FloatBits(half), FloatBits(span)));
  Check(api.GetLastADError() == WEXLINK_E_SLOT && api.GetLastADError() == WEXLINK_E_SLOT,
        "ConfigInfo leaves the last error; reading it does not clear it");

  static const char kProperty[] =
      "Quorix: \xca\xfd\xd7\xd6\xca\xbd\xce\xc2\xb6\xc8\xc4\xa3\xbf\xe9(16\xce\xbb"
      "AD), \xc8\xb1\xca\xa1IOBase=9600,IRQ=1\nNumChn:8~32, SW:0, FrqSamp:1";
  static_assert(sizeof kProperty == 83);
  char property[96];
  std::memset(property, 0x7F, sizeof property);
  Check(api.GetADPropStrSize() == 82, "GetADPropStrSize 82");
  Check(api.GetADPropString(property) == 1 && std::memcmp(property, kProperty, 83) == 0 &&
            property[83] == 0x7F,
        "GetADPropString writes the 83 GBK bytes and nothing more");

#if !defined(_WIN64)
  // A mingw program runs the x87 unit at 64-bit precision; the library must
  // still return the exact double.
  _control87(_PC_64, _MCW_PC);
#endif
  struct {
    int32_t channels, period;
    double expected;
  } const cases[] = {{8, -1000, 1.0},
                     {16, -1000, 0.5},
                     {8, -700, 1.4285714285714286},
                     {24, -700, 0.4761904761904762},
                     {256, -100000, 0.0003125}};
  for (const auto& c : cases) {
    volatile double got = api.ChannelFrq(c.channels, c.period);
    Check(DoubleBits(got) == DoubleBits(c.expected), "ChannelFrq exact",
          Format("(%d, %d) = %.17g, want %.17g", c.channels, c.period, static_cast<double>(got),
              c.expected));
  }
  Check(api.GetLastADError() == WEXLINK_E_SLOT, "ChannelFrq leaves the last error");
}

void CheckSetup(const Api& api, uint32_t port, uint32_t deadPort) {
  Check(api.StartSnapshot(1, 200, 0, 8, -1000, 0, 0, 0) == 0 &&
            api.GetLastADError() == WEXLINK_E_NOT_INITIALIZED,
        "StartSnapshot before Initial refused with 3");
  Check(api.Initial(0, 5, 9600, 0) == 0 && api.GetLastADError() == WEXLINK_E_BAD_SETUP,
        "Initial port 0 refused with 103");
  Check(api.Initial(1, 5, 9, 0) == 0 && api.GetLastADError() == WEXLINK_E_BAD_SETUP,
        "Initial baud 9 refused with 103");
  // A port that does not exist: the start cannot open it.
  Check(api.Initial(deadPort, 5, 9600, 0) == 1, "Initial with a missing port");
  Check(api.StartSnapshot(1, 200, 0, 8, -1000, 0, 0, 0) == 0 &&
            api.GetLastADError() == WEXLINK_E_PORT,
        "StartSnapshot on a missing COM port fails with 106");
  Check(api.ADResult(nullptr) == 0 && api.GetLastADError() == WEXLINK_E_NO_CONTINUOUS,
        "after 106 nothing is held: ADResult 111");
  Check(api.Initial(port, 5, 9600, 0) == 1 && api.GetLastADError() == 0,
        Format("Initial(COM%u, 5, 9600)", port).c_str());
}

bool SameValues(const uint16_t* row, const std::vector<uint16_t>& values) {
  return std::memcmp(row, values.data(), 8 * sizeof(uint16_t)) == 0;
}

std::string RowText(const uint16_t* row) {
  std::string text;
  for (int i = 0; i < 8; ++i) text += Format("%s%u", i ? "," : "", row[i]);
  return text;
}

void CheckSnapshotRun(const Api& api, uint32_t port, const std::vector<uint16_t>& values) {
  DrainPort(port);
  const DWORD start = GetTickCount();
  Check(api.StartSnapshot(1, 200, 0, 8, -1000, 0, 0, 0) == 3202,
        "StartSnapshot(1, 200, 0, 8, -1000) returns 3202");
  Check(api.StartIntr(3, 5, 0, 8, -700, 0, 0) == 0 && api.GetLastADError() == WEXLINK_E_BUSY,
        "a second start during the run refused with 102");
  Check(api.Initial(port + 1, 5, 9600, 0) == 0 && api.GetLastADError() == WEXLINK_E_BUSY,
        "Initial with another port during the run refused with 102");

  // Record: uint16 pass count, rows oldest first, int32 newest row position.
  struct Record {
    uint16_t passes = 0;
    uint16_t rows[2][8] = {};
    int32_t newest = -1;
  } record;
  auto readTwoRows = [&] {
    uint8_t raw[2 * 8 * 2 + 6];
    if (api.GetSnapshot(raw, 2, nullptr) != 1) return false;
    std::memcpy(&record.passes, raw, 2);
    std::memcpy(record.rows, raw + 2, sizeof record.rows);
    std::memcpy(&record.newest, raw + 2 + sizeof record.rows, 4);
    return true;
  };
  // The newest row's position is 199 (the ring's end) until a row is stored,
  // then 0, 1, ...: position 1 means exactly two rows.
  const bool twoRows = PumpUntil([&] { return readTwoRows() && record.newest == 1; }, 6000);
  const DWORD elapsed = GetTickCount() - start;
  Check(twoRows, "two snapshot rows stored",
        Format("newest row %d after %lu ms", record.newest, static_cast<unsigned long>(elapsed)));
  // One row per 1000 ms tick: the second row comes two periods after the start.
  Check(elapsed >= 1500 && elapsed <= 4500, "rows come once per 1000 ms tick",
        Format("%lu ms for two rows", static_cast<unsigned long>(elapsed)));
  Check(record.passes == 0, "pass count 0 in the first pass", Format("%u", record.passes));
  const uint16_t zeros[8] = {};
  Check(std::memcmp(record.rows[0], zeros, sizeof zeros) == 0,
        "the first row of the run holds zeros", RowText(record.rows[0]));
  Check(SameValues(record.rows[1], values), "the newest row holds the module's values",
        RowText(record.rows[1]));

  std::vector<uint8_t> whole(2 * 8 * 200 + 6);
  Check(api.GetSnapshot(whole.data(), 200, nullptr) == 1, "GetSnapshot of the whole ring");
  Check(api.GetSnapshot(whole.data(), 201, nullptr) == 0 &&
            api.GetLastADError() == WEXLINK_E_SNAPSHOT_ROWS,
        "GetSnapshot of 201 rows refused with 112");

  Check(api.StopIntr() == 1 && api.GetLastADError() == 0, "StopIntr stops the snapshot run");
  Check(api.StopIntr() == 0 && api.GetLastADError() == WEXLINK_E_NOT_RUNNING,
        "a second StopIntr fails with 110");
  Check(readTwoRows() && SameValues(record.rows[1], values),
        "the stopped run's ring stays readable");
}

void CheckContinuousRun(const Api& api, uint32_t port, HWND window,
                        const std::vector<uint16_t>& values) {
  DrainPort(port);
  Check(api.RegisterNotify(0, reinterpret_cast<intptr_t>(window), kNotifyMessage, kNotifyWParam,
                           kNotifyLParam) == 1,
        "RegisterNotify slot 0 to a message-only window");
  Check(api.RegisterNotify(3, reinterpret_cast<intptr_t>(window), 0, 1, 1) == 1,
        "RegisterNotify slot 3 with message 0 (empty slot)");
  g_notifications.clear();
  constexpr int32_t kBufferBytes = 2 * 8 * 5 + 2;
  const DWORD start = GetTickCount();
  Check(api.StartIntr(3, 5, 0, 8, -700, 0, 0) == kBufferBytes,
        "StartIntr(3, 5, 0, 8, -700) returns 82");
  // Five rows at one per 700 ms tick complete the first buffer.
  const bool notified = PumpUntil([] { return !g_notifications.empty(); }, 9000);
  const DWORD elapsed = GetTickCount() - start;
  Check(notified, "a notification arrives through PostMessageA",
        Format("after %lu ms", static_cast<unsigned long>(elapsed)));
  Check(elapsed >= 3000, "not before five ticks",
        Format("%lu ms", static_cast<unsigned long>(elapsed)));
  if (notified) {
    Check(g_notifications.size() == 1 && g_notifications[0].wParam == kNotifyWParam &&
              static_cast<uint32_t>(g_notifications[0].lParam) == kNotifyLParam,
          "one message with the slot's wParam and lParam",
          Format("%u messages", static_cast<unsigned>(g_notifications.size())));
  }
  Check(api.QueryBuf() == 1 && api.GetLastADError() == 0, "QueryBuf reports one buffer");
  struct {
    uint16_t head;
    uint16_t rows[5][8];
  } buffer{};
  static_assert(sizeof buffer == kBufferBytes);
  Check(api.ADResult(&buffer) == 1 && api.GetLastADError() == 0, "ADResult takes the buffer");
  Check(buffer.head == 0, "head word 0 for the first buffer", Format("%u", buffer.head));
  const uint16_t zeros[8] = {};
  bool rowsOk = std::memcmp(buffer.rows[0], zeros, sizeof zeros) == 0;
  for (int r = 1; r < 5; ++r) rowsOk = rowsOk && SameValues(buffer.rows[r], values);
  Check(rowsOk, "rows: zeros first, then the module's values",
        RowText(buffer.rows[0]) + " / " + RowText(buffer.rows[1]) + " / " +
            RowText(buffer.rows[2]) + " / " + RowText(buffer.rows[4]));
  Check(api.ADResult(&buffer) == 0 && api.GetLastADError() == WEXLINK_E_NO_BUFFER_READY,
        "no second buffer yet: ADResult 18");
  Check(api.Initial(1, 7, 9600, 0) == 1, "Initial with the same port and baud during the run");
}

// Unloads the library while its continuous run goes on: the unload must stop
// the timer, so the process survives the following ticks, and close the port.
void CheckUnloadDuringRun(HMODULE dll, uint32_t port, const std::vector<uint16_t>& values) {
  const DWORD start = GetTickCount();
  const BOOL freed = FreeLibrary(dll);
  const DWORD took = GetTickCount() - start;
  Check(freed != FALSE, "FreeLibrary with a run active",
        Format("%lu ms", static_cast<unsigned long>(took)));
  Check(took < 2000, "the unload does not hang");
  Check(GetModuleHandleA("wexlink.dll") == nullptr, "the library is gone from the process");
  PumpMessages();
  const size_t before = g_notifications.size();
  // Longer than a buffer of the stopped run (5 x 700 ms): a tick into the
  // unloaded code would end the process here.
  PumpUntil([] { return false; }, 4000);
  Check(g_notifications.size() == before, "no notification after the unload");
  // The port is free for the next user, and nothing else reads from it: a
  // request gets the module's whole reply.
  HANDLE h = OpenPort(port);
  Check(h != INVALID_HANDLE_VALUE, "the port opens after the unload");
  if (h == INVALID_HANDLE_VALUE) return;
  DrainPort(h);
  const uint8_t request[6] = {0xAA, 0x03, 0x01, 0x00, 0x04, 0x55};
  DWORD written = 0;
  WriteFile(h, request, sizeof request, &written, nullptr);
  DWORD waiting = 0;
  const DWORD sent = GetTickCount();
  do {
    Sleep(10);
    waiting = WaitingBytes(h);
  } while (waiting < 22 && GetTickCount() - sent < 3000);
  uint8_t reply[22] = {};
  DWORD got = 0;
  if (waiting == 22) ReadFile(h, reply, sizeof reply, &got, nullptr);
  uint16_t replyValues[8];
  std::memcpy(replyValues, reply + 5, sizeof replyValues);
  Check(got == 22 && reply[0] == 0xAA && reply[21] == 0x55 && SameValues(replyValues, values),
        "a request on the freed port gets the module's reply",
        Format("%lu bytes waiting", static_cast<unsigned long>(waiting)));
  CloseHandle(h);
}

void CheckReload() {
  HMODULE dll = LoadLibraryA("wexlink.dll");
  Check(dll != nullptr, "LoadLibraryA again");
  if (dll == nullptr) return;
  auto stop = As<decltype(&::StopIntr)>(GetProcAddress(dll, BOUND_NAME(StopIntr, 0)));
  auto lastError =
      As<decltype(&::GetLastADError)>(GetProcAddress(dll, BOUND_NAME(GetLastADError, 0)));
  Check(stop != nullptr && lastError != nullptr && lastError() == 0 && stop() == 0 &&
            lastError() == WEXLINK_E_NOT_INITIALIZED,
        "a reloaded library starts from scratch");
  Check(FreeLibrary(dll) != FALSE, "FreeLibrary of the idle library");
}

// ---- Port functions -------------------------------------------------------------

// A privileged instruction of the program's own: the library's handler for
// its port instructions must leave it to the program.
int g_ownFaults = 0;
extern "C" void client_privileged() __asm__("client_privileged");
extern "C" char client_privileged_insn[] __asm__("client_privileged_insn");
__asm__(
    ".text\n"
    "client_privileged:\n\t"
    "client_privileged_insn:\n\t"
    "cli\n\t"
    "ret\n");

LONG CALLBACK SkipOwnFault(EXCEPTION_POINTERS* e) {
#if defined(_WIN64)
  auto& ip = e->ContextRecord->Rip;
#else
  auto& ip = e->ContextRecord->Eip;
#endif
  if (e->ExceptionRecord->ExceptionCode != EXCEPTION_PRIV_INSTRUCTION ||
      ip != reinterpret_cast<uintptr_t>(client_privileged_insn)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ++g_ownFaults;
  ip += 1;  // cli
  return EXCEPTION_CONTINUE_EXECUTION;
}

int CheckPorts(const std::string& mode) {
  // The port space is chosen at the first port access and holds from then on.
  if (mode == "refused") SetEnvironmentVariableW(L"WEXLINK_IOSPACE", nullptr);
  HMODULE dll = LoadLibraryA("wexlink.dll");
  Api api;
  if (dll == nullptr || !Bind(dll, api)) return 1;
  if (mode == "refused" || mode == "unusable") {
    // Port 0x80 is the diagnostic port that firmware writes progress codes to;
    // nothing depends on it, should the instruction ever run.
    api.outportb(0x80, 0x5A);
    api.outport(0x80, 0x5A5A);
    api.outportdw(0x80, 0x5A5A5A5Au);
    Check(true, "outportb, outport and outportdw return; the process goes on");
    Check(api.inportb(0x80) == 0xFFu && api.inport(0x80) == 0xFFFFu &&
              api.inportdw(0x80) == 0xFFFFFFFFu,
          "inportb, inport and inportdw read all ones",
          Format("%x %x %x", api.inportb(0x80), api.inport(0x80), api.inportdw(0x80)));
    api.outportb(256, 0x11);
    Check(api.inportb(256) == 0xFFu, "a write to port 256 does not come back");
  }
  if (mode == "refused") {
    AddVectoredExceptionHandler(0, SkipOwnFault);
    client_privileged();
    Check(g_ownFaults == 1,
          "a privileged instruction of the program itself reaches its own handler");
  }
  if (mode == "file") {
    api.outportb(256, 0x5A);
    api.outport(0x300, 0x1234);
    api.outportdw(0x400, 0x89ABCDEFu);
    Check(api.inportb(256) == 0x5A && api.inport(0x300) == 0x1234 &&
              api.inportdw(0x400) == 0x89ABCDEFu && api.inportb(0x500) == 0,
          "bytes, words and double words written and read back through the file",
          Format("%x %x %x %x", api.inportb(256), api.inport(0x300), api.inportdw(0x400),
              api.inportb(0x500)));
    Check(api.inportb(0x301) == 0x12 && api.inportb(0x400) == 0xEF,
          "words and double words are stored little-endian");
    wchar_t path[MAX_PATH] = {};
    GetEnvironmentVariableW(L"WEXLINK_IOSPACE", path, MAX_PATH);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    const bool found = GetFileAttributesExW(path, GetFileExInfoStandard, &data) != FALSE;
    Check(found && data.nFileSizeHigh == 0 && data.nFileSizeLow == 65536,
          "the file was created and extended to 64 KiB",
          Format("%lu bytes", static_cast<unsigned long>(data.nFileSizeLow)));
  }
  FreeLibrary(dll);
  if (mode == "refused") {
    // The library's handler went with it: nothing dangles in the chain.
    client_privileged();
    Check(g_ownFaults == 2, "after FreeLibrary the program's own handler still runs");
  }
  std::printf("%d checks, %d failed\n", g_checks, g_failures);
  if (g_failures != 0) return 1;
  std::printf("ALL CHECKS PASSED\n");
  return 0;
}

bool ParseValues(const char* text, std::vector<uint16_t>& values) {
  values.clear();
  while (*text != 0) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (end == text || v > 0xFFFF) return false;
    values.push_back(static_cast<uint16_t>(v));
    text = (*end == ',') ? end + 1 : end;
  }
  return values.size() == 8;
}

// Starts a continuous run and returns from main with the library loaded: the
// process exit must not hang in the unload.
int ExitWhileRunning(uint32_t port) {
  HMODULE dll = LoadLibraryA("wexlink.dll");
  Api api;
  if (dll == nullptr || !Bind(dll, api)) return 1;
  Check(api.Initial(port, 5, 9600, 0) == 1, "Initial");
  Check(api.StartIntr(2, 5, 0, 8, -700, 0, 0) == 82, "StartIntr");
  Sleep(1600);
  std::printf("EXITING WITH A RUN ACTIVE\n");
  std::fflush(stdout);
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint16_t> values;
  uint32_t port = 1;
  uint32_t deadPort = 200;
  bool exitWhileRunning = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--values" && i + 1 < argc) {
      if (!ParseValues(argv[++i], values)) {
        std::fprintf(stderr, "--values needs eight numbers\n");
        return 2;
      }
    } else if (arg == "--port" && i + 1 < argc) {
      port = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else if (arg == "--dead-port" && i + 1 < argc) {
      deadPort = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else if (arg == "--exit-while-running") {
      exitWhileRunning = true;
    } else if (arg == "--ports" && i + 1 < argc) {
      return CheckPorts(argv[++i]);
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (exitWhileRunning) return ExitWhileRunning(port);
  if (values.size() != 8) {
    std::fprintf(stderr, "usage: wine_client --values v0,...,v7 [--port N] [--dead-port N]\n");
    return 2;
  }

  HMODULE dll = LoadLibraryA("wexlink.dll");
  Check(dll != nullptr, "LoadLibraryA(\"wexlink.dll\")", Format("error %lu", GetLastError()));
  if (dll == nullptr) return 1;
  Api api;
  if (!Bind(dll, api)) return 1;

  CheckInformation(api);
  CheckSetup(api, port, deadPort);
  CheckSnapshotRun(api, port, values);
  HWND window = CreateNotifyWindow();
  Check(window != nullptr, "message-only window created");
  CheckContinuousRun(api, port, window, values);
  CheckUnloadDuringRun(dll, port, values);
  CheckReload();

  std::printf("%d checks, %d failed\n", g_checks, g_failures);
  if (g_failures != 0) return 1;
  std::printf("ALL CHECKS PASSED\n");
  return 0;
}
