// Wexmon on Windows: the operator program over the plain Win32 API.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "frm_main.h"
#include "library_table.h"
#include "options.h"
#include "relay_access.h"
#include "start_failure.h"
#include "win32_text.h"
#include "win32_window_host.h"

namespace wexmon {
namespace {

constexpr int kUsageExitCode = 2;
constexpr WindowId kMain = WindowId::FrmMain;
constexpr std::string_view kLibraryNote =
    "The library wexlink.Dll is loaded from the program's own folder.\n";

// The options of this build: all but --screenshot.
std::string Usage() {
  std::string usage;
  const std::string all = UsageText();
  for (std::size_t from = 0; from < all.size();) {
    const std::size_t end = std::min(all.find('\n', from), all.size() - 1) + 1;
    const std::string line = all.substr(from, end - from);
    if (line.find("--screenshot") == std::string::npos) usage += line;
    from = end;
  }
  return usage;
}

// Standard output and error exist when the program was started with them
// redirected (or under Wine); a program started from the desktop has none.
bool Write(DWORD stream, std::string_view text) {
  HANDLE handle = GetStdHandle(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  return WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) !=
         FALSE;
}

// A message for the user: on the stream when there is one, otherwise in a
// message box.
void Tell(DWORD stream, std::string_view text, UINT icon) {
  if (!Write(stream, text)) {
    MessageBoxW(nullptr, Widen(text).c_str(), L"Wexmon", MB_OK | icon);
  }
}

// Reports that the library or a function of it cannot be reached: on standard
// error, in the debugger output and, when someone is there to answer it, in a
// message box with the error icon; then ends the program with status 3.
class Win32FatalReporter final : public FatalReporter {
 public:
  Win32FatalReporter(bool showDialog, std::function<void()> beforeDialog)
      : showDialog_(showDialog), beforeDialog_(std::move(beforeDialog)) {}
  [[noreturn]] void Fatal(const std::string& message) override {
    Write(STD_ERROR_HANDLE, message + "\n");
    OutputDebugStringW(Widen(message + "\n").c_str());
    if (showDialog_) {
      // Nothing ticks while the message is up: a timer would call into the
      // library again from the message box's own loop.
      if (beforeDialog_) beforeDialog_();
      MessageBoxW(nullptr, Widen(message).c_str(), L"Wexmon", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    }
    std::exit(kLibraryFailureExitCode);
  }

 private:
  bool showDialog_;
  std::function<void()> beforeDialog_;
};

std::string SystemDecimalSeparator() {
  wchar_t separator[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) == 0) return ".";
  return Narrow(separator);
}

HWND g_mainWindow = nullptr;

// --after: ends the program as the main window's close button would.
void CALLBACK EndAfterTime(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  PostMessageW(g_mainWindow, WM_CLOSE, 0, 0);
}

std::string LabelDump(const Win32WindowHost& host) {
  std::string dump = "Label1=" + host.Caption(kMain, "Label1") + "\n";
  dump += "Label2=" + host.Caption(kMain, "Label2") + "\n";
  for (int i = 0; i < 8; ++i) {
    dump += "lblTemp(" + std::to_string(i) + ")=" + host.Caption(WindowId::FrmShow, "lblTemp", i) +
            "\n";
  }
  return dump;
}

int Main(HINSTANCE instance, int showCommand) {
  std::vector<std::string> storage;
  for (int i = 1; i < __argc; ++i) {
    std::string arg = Narrow(__wargv[i]);
    // The Windows spelling of the port option.
    if (arg == "/port" || arg == "/PORT" || arg == "/Port") arg = "--port";
    storage.push_back(std::move(arg));
  }
  const std::vector<std::string_view> arguments(storage.begin(), storage.end());
  for (std::string_view arg : arguments) {
    if (arg == "--version") {
      Tell(STD_OUTPUT_HANDLE, std::string(kVersionText) + "\n", MB_ICONINFORMATION);
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      Tell(STD_OUTPUT_HANDLE, Usage() + std::string(kLibraryNote), MB_ICONINFORMATION);
      return 0;
    }
  }
  ParsedOptions parsed = ParseOptions(arguments);
  if (parsed.error.empty() && !parsed.options.screenshotPath.empty()) {
    parsed.error = "--screenshot is not available in the Windows build";
  }
  if (!parsed.error.empty()) {
    Tell(STD_ERROR_HANDLE, "Wexmon: " + parsed.error + "\n" + Usage(), MB_ICONERROR);
    return kUsageExitCode;
  }
  const Options& options = parsed.options;

  Win32WindowHost host(instance);
  host.SetFirstShowCommand(showCommand);
  const bool unattended = options.autostart || options.afterSeconds.has_value();
  Win32FatalReporter reporter(!unattended, [&host] { host.StopTimers(); });
  const std::unique_ptr<LibraryLoader> loader = MakeSystemLoader();
  LibraryTable library(*loader, reporter);
  LoggedStartFailures startFailures(
      library, [](const std::string& line) { OutputDebugStringW(Widen(line + "\n").c_str()); });
  FrmMain frmMain(host, library, SystemDecimalSeparator(), &startFailures);
  frmMain.UseComPort(options.port);
  // The first relay write that cannot reach the port: a line for a debugger
  // or a redirected standard error, and a message box; the program goes on.
  RelayWarning relayWarning(&RelayPortUnreachable, [&host](const std::string& text) {
    OutputDebugStringW(Widen("Wexmon: " + text + "\n").c_str());
    Write(STD_ERROR_HANDLE, "Wexmon: " + text + "\n");
    MessageBoxW(host.Window(kMain), Widen(text).c_str(), L"Wexmon", MB_OK | MB_ICONWARNING);
  });
  frmMain.SetRelayWarning(&relayWarning);

  Win32WindowHost::Events events;
  events.clicked = [&frmMain](WindowId window, std::string_view name) {
    if (window != kMain) return;
    if (name == "CmdStart") frmMain.CmdStart_Click();
    if (name == "CmdExit") frmMain.CmdExit_Click();
    if (name == "CmdRelay") frmMain.CmdRelay_Click();
  };
  events.doubleClicked = [&frmMain](WindowId window, std::string_view name, int index) {
    if (window == kMain && name == "lblRelay") {
      frmMain.lblRelay_DblClick(static_cast<std::int16_t>(index));
    }
  };
  events.timer = [&frmMain](WindowId window, std::string_view name) {
    if (window == kMain && name == "Timer1") frmMain.Timer1_Timer();
  };
  // Closing the main window runs its unload handler and ends the program; the
  // display window goes with it. Closing the display window only hides it.
  events.closed = [&frmMain, &host](WindowId window) {
    if (window != kMain) return;
    frmMain.Form_Unload();
    host.EndProgram();
  };
  host.SetEvents(std::move(events));

  host.LoadWindow(kMain);
  frmMain.Form_Load();
  host.ShowWindow(kMain);
  host.Focus(kMain, "CmdStart");
  g_mainWindow = host.Window(kMain);

  if (options.autostart) {
    HWND start = host.Control(kMain, "CmdStart");
    PostMessageW(g_mainWindow, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(start), BN_CLICKED),
                 reinterpret_cast<LPARAM>(start));
  }
  if (options.afterSeconds) {
    SetTimer(nullptr, 0, static_cast<UINT>(*options.afterSeconds * 1000.0), &EndAfterTime);
  }

  const int status = host.Run();
  if (options.dumpLabels) Write(STD_OUTPUT_HANDLE, LabelDump(host));
  return status;
}

}  // namespace
}  // namespace wexmon

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  return wexmon::Main(instance, showCommand);
}
