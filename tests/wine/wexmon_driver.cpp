// Drives a running Wexmon.exe through its real windows, as an operator would:
// finds the windows by caption, checks their places, the focus and the colours
// on the screen, presses the start button with the keyboard, waits for the
// module's values in both windows, double-clicks relay labels, presses the
// relay button (and reads the relay byte from the I/O-space file), stops with
// Tab and Enter, and closes the main window. Prints one line per check and
// "ALL CHECKS PASSED" at the very end.
//
//   wexmon_driver.exe --iospace FILE --expect t0,...,t7 [--screenshot FILE.bmp]
//   wexmon_driver.exe --relay-message [--expect t0,...,t7]
//
// FILE is the file that WEXLINK_IOSPACE names for Wexmon; its byte 256 must
// hold 0xA5 before the relay button is pressed. t0 to t7 are the texts the
// eight channels must show.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checks.h"
#include "win32_text.h"

namespace {

template <typename Done>
bool WaitFor(Done done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(50);
  }
}

// ---- Windows of another process -------------------------------------------------

std::wstring Text(HWND hwnd) {
  wchar_t buffer[512] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                      2000, &copied);
  return buffer;
}

struct Child {
  HWND hwnd;
  std::wstring windowClass;
  std::wstring text;
  RECT rect;  // screen coordinates
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM context) {
  auto& children = *reinterpret_cast<std::vector<Child>*>(context);
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  Child child{hwnd, cls, Text(hwnd), {}};
  GetWindowRect(hwnd, &child.rect);
  children.push_back(child);
  return TRUE;
}

std::vector<Child> Children(HWND parent) {
  std::vector<Child> children;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

HWND ByText(const std::vector<Child>& children, const std::wstring& text) {
  for (const Child& c : children) {
    if (c.text == text) return c.hwnd;
  }
  return nullptr;
}

HWND Focus(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus
                                                                            : nullptr;
}

POINT ClientOrigin(HWND window) {
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  return origin;
}

SIZE ClientSize(HWND window) {
  RECT rect{};
  GetClientRect(window, &rect);
  return {rect.right, rect.bottom};
}

// Keys go to the focused control of the foreground window, as typed.
void PressKey(HWND window, WORD key) {
  SetForegroundWindow(window);
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, input, sizeof(INPUT));
}

void DoubleClick(HWND control) {
  const LPARAM at = MAKELPARAM(4, 4);
  PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(control, WM_LBUTTONUP, 0, at);
  PostMessageW(control, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
  PostMessageW(control, WM_LBUTTONUP, 0, at);
}

// ---- The screen ------------------------------------------------------------------

// The pixels of a screen rectangle, top row first, as 0x00RRGGBB.
std::vector<uint32_t> Grab(const RECT& r) {
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  std::vector<uint32_t> pixels;
  if (width <= 0 || height <= 0) return pixels;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  pixels.assign(static_cast<const uint32_t*>(bits),
                static_cast<const uint32_t*>(bits) + static_cast<std::size_t>(width) * height);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

struct Colours {
  int red = 0, green = 0, darkRed = 0, total = 0;
};

Colours Count(const RECT& r) {
  Colours c;
  for (uint32_t p : Grab(r)) {
    const int red = (p >> 16) & 0xFF, green = (p >> 8) & 0xFF, blue = p & 0xFF;
    ++c.total;
    if (red >= 160 && green <= 90 && blue <= 90) ++c.red;
    if (green >= 160 && red <= 90 && blue <= 90) ++c.green;
    if (red >= 48 && red <= 80 && green <= 16 && blue <= 16) ++c.darkRed;
  }
  return c;
}

std::string Describe(const Colours& c) {
  return Format("%d red, %d green, %d dark red of %d pixels", c.red, c.green, c.darkRed, c.total);
}

bool SaveBmp(const RECT& r, const std::string& path) {
  const std::vector<uint32_t> pixels = Grab(r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  if (pixels.empty()) return false;
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = -height;
  info.biPlanes = 1;
  info.biBitCount = 32;
  info.biCompression = BI_RGB;
  const DWORD bytes = static_cast<DWORD>(pixels.size() * 4);
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + bytes;
  HANDLE h = CreateFileW(wexmon::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(h, &file, sizeof file, &written, nullptr) &&
            WriteFile(h, &info, sizeof info, &written, nullptr) &&
            WriteFile(h, pixels.data(), bytes, &written, nullptr);
  CloseHandle(h);
  return ok;
}

// The relay port's byte in the I/O-space file, or -1.
int RelayByte(const std::string& path) {
  HANDLE h =
      CreateFileW(wexmon::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at{};
  at.Offset = 256;
  uint8_t value = 0;
  DWORD got = 0;
  const BOOL ok = ReadFile(h, &value, 1, &got, &at);
  CloseHandle(h);
  return ok && got == 1 ? value : -1;
}

// ---- The run ---------------------------------------------------------------------

const std::wstring kMainCaption = L"Zentrova    温度采集模块测试软件   继电器控制输出";
const std::wstring kShowCaption = L"温度显示    Zentrova";

std::wstring Line(const wchar_t* prefix, const std::vector<std::wstring>& texts, int first) {
  std::wstring line = prefix;
  for (int i = first; i < first + 4; ++i) line += (i == first ? L"" : L",  ") + texts[i];
  return line;
}

int Run(const std::string& iospace, const std::vector<std::wstring>& expect,
        const std::string& screenshot) {
  HWND main = nullptr;
  WaitFor(
      [&] {
        return (main = FindWindowW(nullptr, kMainCaption.c_str())) != nullptr &&
               IsWindowVisible(main);
      },
      30000);
  if (!Check(main != nullptr, "the main window is up, found by its caption")) return 1;
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);

  // Places at 96 DPI: the client areas at their stored positions, 15 twips to
  // the pixel.
  const POINT mainAt = ClientOrigin(main);
  const SIZE mainSize = ClientSize(main);
  Check(mainAt.x == 106 && mainAt.y == 82 && mainSize.cx == 351 && mainSize.cy == 318,
        "main window client area 351x318 at (106, 82)",
        Format("%ldx%ld at (%ld, %ld)", mainSize.cx, mainSize.cy, mainAt.x, mainAt.y));
  Check(FindWindowW(nullptr, kShowCaption.c_str()) == nullptr,
        "the display window does not exist before the first start");

  const std::vector<Child> controls = Children(main);
  HWND start = ByText(controls, L"启动");
  HWND exitButton = ByText(controls, L"退出");
  HWND relayButton = ByText(controls, L"输出");
  HWND label1 = ByText(controls, L"1~4的温度：");
  HWND label2 = ByText(controls, L"5~8的温度：");
  HWND relays[8] = {};
  for (int i = 0; i < 8; ++i) relays[i] = ByText(controls, L"继电器" + std::to_wstring(i + 1));
  bool allFound = start && exitButton && relayButton && label1 && label2;
  for (HWND relay : relays) allFound = allFound && relay != nullptr;
  if (!Check(allFound, "buttons, value lines and relay labels found by caption",
             Format("%u child windows", static_cast<unsigned>(controls.size())))) {
    return 1;
  }
  Check(Focus(main) == start, "the start button holds the focus");

  auto relayColours = [&](bool greenWanted[8]) {
    std::string detail;
    bool ok = true;
    for (int i = 0; i < 8; ++i) {
      RECT r{};
      GetWindowRect(relays[i], &r);
      const Colours c = Count(r);
      const bool green = c.green > 10 && c.red == 0;
      const bool red = c.red > 10 && c.green == 0;
      ok = ok && (greenWanted[i] ? green : red);
      detail += Format("%s%c", i ? " " : "", green ? 'G' : red ? 'R' : '?');
    }
    return std::make_pair(ok, detail);
  };
  bool noneGreen[8] = {};
  auto [allRed, redDetail] = relayColours(noneGreen);
  Check(allRed, "every relay label is drawn red (open)", redDetail);

  // ---- Start with Space on the focused button
  const int sentinel = RelayByte(iospace);
  Check(sentinel == 0xA5, "relay byte before any press", Format("%d", sentinel));
  PressKey(main, VK_SPACE);
  HWND show = nullptr;
  const bool shown = WaitFor(
      [&] {
        return (show = FindWindowW(nullptr, kShowCaption.c_str())) != nullptr &&
               IsWindowVisible(show) && Text(start) == L"停止";
      },
      5000);
  if (!Check(shown, "Space on the start button starts: caption 停止, display window shown")) {
    return 1;
  }
  const POINT showAt = ClientOrigin(show);
  const SIZE showSize = ClientSize(show);
  Check(showAt.x == 229 && showAt.y == 42 && showSize.cx == 549 && showSize.cy == 546,
        "display window client area 549x546 at its stored place (229, 42)",
        Format("%ldx%ld at (%ld, %ld)", showSize.cx, showSize.cy, showAt.x, showAt.y));
  Check(Focus(main) == start, "the display window leaves the focus on the start button");

  // ---- The module's values, polled once a second
  const std::wstring line1 = Line(L"1~4点温度：  ", expect, 0);
  const std::wstring line2 = Line(L"5~8点温度：  ", expect, 4);
  const bool values = WaitFor([&] { return Text(label1) == line1; }, 8000);
  Check(values, "Label1 shows channels 1 to 4", wexmon::Narrow(Text(label1)));
  Check(Text(label2) == line2, "Label2 shows channels 5 to 8", wexmon::Narrow(Text(label2)));

  // Display frame i holds value label i; frame captions 温度1 ... 温度8.
  const std::vector<Child> shownControls = Children(show);
  std::string displayed;
  bool displayOk = true;
  RECT firstValue{};
  for (int i = 0; i < 8; ++i) {
    const Child* frame = nullptr;
    for (const Child& c : shownControls) {
      if (c.text == L"温度" + std::to_wstring(i + 1)) frame = &c;
    }
    const Child* value = nullptr;
    for (const Child& c : shownControls) {
      if (frame != nullptr && c.windowClass == L"Static" && c.rect.left > frame->rect.left &&
          c.rect.right < frame->rect.right && c.rect.top > frame->rect.top &&
          c.rect.bottom < frame->rect.bottom) {
        value = &c;
      }
    }
    const std::wstring text = value != nullptr ? Text(value->hwnd) : L"?";
    displayOk = displayOk && text == expect[i];
    if (i != 0) displayed += ' ';
    displayed += wexmon::Narrow(text);
    if (i == 0 && value != nullptr) firstValue = value->rect;
  }
  Check(displayOk, "the eight display labels show the channels in their frames", displayed);
  const Colours display = Count(firstValue);
  Check(display.darkRed > display.total / 2 && display.green > 50,
        "display label 1: green figures on dark red", Describe(display));

  if (!screenshot.empty()) {
    RECT both{}, a{}, b{};
    GetWindowRect(main, &a);
    GetWindowRect(show, &b);
    UnionRect(&both, &a, &b);
    InflateRect(&both, 8, 8);
    Check(SaveBmp(both, screenshot), "screenshot of both windows saved", screenshot);
  }

  // The display window's close button only takes it off the screen; the
  // program runs on.
  PostMessageW(show, WM_CLOSE, 0, 0);
  const bool closed = WaitFor([&] { return !IsWindowVisible(show); }, 3000);
  Check(closed && IsWindow(show) && WaitForSingleObject(process, 1500) == WAIT_TIMEOUT &&
            Text(start) == L"停止",
        "closing the display window hides it; the run goes on");

  // ---- Relays: double-clicks change colours only; the button writes them
  SetWindowPos(main, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  DoubleClick(relays[0]);
  DoubleClick(relays[4]);
  bool someGreen[8] = {true, false, false, false, true, false, false, false};
  std::pair<bool, std::string> toggled;
  WaitFor([&] { return (toggled = relayColours(someGreen)).first; }, 3000);
  Check(toggled.first, "double-clicks turn relay labels 1 and 5 green", toggled.second);
  Sleep(300);
  Check(RelayByte(iospace) == 0xA5, "a double-click writes no port", Format("%d", RelayByte(iospace)));
  SendMessageW(relayButton, BM_CLICK, 0, 0);
  const bool written = WaitFor([&] { return RelayByte(iospace) == 0x11; }, 3000);
  Check(written, "the relay button writes 0x11 to port 256", Format("%d", RelayByte(iospace)));

  // ---- Stop with Tab (relay button -> start button) and Enter
  Check(Focus(main) == relayButton, "the pressed relay button holds the focus");
  PressKey(main, VK_TAB);
  const bool tabbed = WaitFor([&] { return Focus(main) == start; }, 2000);
  Check(tabbed, "Tab moves the focus from the relay button round to the start button");
  PressKey(main, VK_RETURN);
  const bool stopped =
      WaitFor([&] { return Text(start) == L"启动" && !IsWindowVisible(show); }, 5000);
  Check(stopped, "Enter on the start button stops: caption 启动, display window hidden");
  Check(Text(label1) == L"提示：模块已停止!", "status line after the stop",
        wexmon::Narrow(Text(label1)));

  // ---- Closing the main window ends the program
  PostMessageW(main, WM_CLOSE, 0, 0);
  const bool ended = process != nullptr && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
  DWORD code = 1;
  if (process != nullptr) GetExitCodeProcess(process, &code);
  Check(ended && code == 0, "closing the main window ends the program with status 0",
        Format("exit code %lu", code));
  Check(RelayByte(iospace) == 0x11, "nothing is written to the port at the end");
  if (process != nullptr) CloseHandle(process);
  return 0;
}

// The relay button without port access (no WEXLINK_IOSPACE, and Wine refuses
// the port instructions): the first press brings one warning box naming why,
// later presses none; Wexmon runs on. With --expect, the start button is
// pressed first and the values of the module on the chosen port must show.
HWND WarningBox(DWORD pid) {
  HWND found = nullptr;
  for (HWND w = FindWindowW(L"#32770", L"Wexmon"); w != nullptr;
       w = FindWindowExW(nullptr, w, L"#32770", L"Wexmon")) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == pid && IsWindowVisible(w)) found = w;
  }
  return found;
}

int RelayMessage(const std::vector<std::wstring>& expect) {
  HWND main = nullptr;
  WaitFor(
      [&] {
        return (main = FindWindowW(nullptr, kMainCaption.c_str())) != nullptr &&
               IsWindowVisible(main);
      },
      30000);
  if (!Check(main != nullptr, "the main window is up")) return 1;
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  const std::vector<Child> controls = Children(main);
  HWND relayButton = ByText(controls, L"输出");
  HWND start = ByText(controls, L"启动");
  HWND label1 = ByText(controls, L"1~4的温度：");
  if (!Check(relayButton && start && label1, "relay button, start button and Label1 found",
             Format("%u child windows", static_cast<unsigned>(controls.size())))) {
    return 1;
  }
  if (!expect.empty()) {
    PostMessageW(start, BM_CLICK, 0, 0);
    const std::wstring line1 = Line(L"1~4点温度：  ", expect, 0);
    Check(WaitFor([&] { return Text(label1) == line1; }, 8000),
          "--port 2: Label1 shows the values of the module on COM2", wexmon::Narrow(Text(label1)));
  }
  Check(WarningBox(pid) == nullptr, "no warning before the relay button is pressed");
  // Posted: the handler shows a modal box and returns only when it is closed.
  PostMessageW(relayButton, BM_CLICK, 0, 0);
  HWND box = nullptr;
  WaitFor([&] { return (box = WarningBox(pid)) != nullptr; }, 5000);
  if (!Check(box != nullptr, "the first press shows a warning box")) return 1;
  std::wstring message;
  for (const Child& c : Children(box)) {
    if (c.windowClass == L"Static" && c.text.size() > message.size()) message = c.text;
  }
  Check(message.find(L"I/O port 256") != std::wstring::npos &&
            message.find(L"port-access driver") != std::wstring::npos,
        "the warning names the port and why", wexmon::Narrow(message));
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  Check(WaitFor([&] { return WarningBox(pid) == nullptr; }, 3000), "OK closes the warning");
  PostMessageW(relayButton, BM_CLICK, 0, 0);
  PostMessageW(relayButton, BM_CLICK, 0, 0);
  Sleep(1500);
  Check(WarningBox(pid) == nullptr, "later presses show nothing");
  PostMessageW(main, WM_CLOSE, 0, 0);
  const bool ended = process != nullptr && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
  DWORD code = 1;
  if (process != nullptr) GetExitCodeProcess(process, &code);
  Check(ended && code == 0, "the program ran on and ends with status 0",
        Format("exit code %lu", code));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string iospace, screenshot;
  std::vector<std::wstring> expect;
  bool relayMessage = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--relay-message") {
      relayMessage = true;
      continue;
    }
    if (i + 1 >= argc) break;
    const std::string arg = argv[i++];
    if (arg == "--iospace") {
      iospace = argv[i];
    } else if (arg == "--screenshot") {
      screenshot = argv[i];
    } else if (arg == "--expect") {
      std::string list = argv[i];
      for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        expect.push_back(wexmon::Widen(list.substr(from, comma - from)));
        from = comma + 1;
      }
    }
  }
  if (relayMessage && (expect.empty() || expect.size() == 8)) {
    RelayMessage(expect);
  } else if (iospace.empty() || expect.size() != 8) {
    std::fprintf(stderr,
                 "usage: wexmon_driver --iospace FILE --expect t0,...,t7 [--screenshot F.bmp]\n"
                 "       wexmon_driver --relay-message [--expect t0,...,t7]\n");
    return 2;
  } else {
    Run(iospace, expect, screenshot);
  }
  std::printf("%d checks, %d failed\n", g_checks, g_failures);
  if (g_failures != 0) return 1;
  std::printf("ALL CHECKS PASSED\n");
  return 0;
}
