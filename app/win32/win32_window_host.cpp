#include "win32_window_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "win32_fonts.h"
#include "win32_text.h"

namespace wexmon {
namespace {

constexpr wchar_t kFormClass[] = L"WexmonForm";
// Control identifiers start above IDOK and IDCANCEL, which the dialog
// manager sends for Enter and Escape.
constexpr int kFirstControlId = 100;
constexpr UINT_PTR kFirstTimerId = 1;

// The windows' frame: a fixed border with a title bar, a close box and a
// minimise box; the same for both windows.
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

struct FormContext {
  Win32WindowHost* host;
  void* form;
};

[[noreturn]] void NoSuchControl(std::string_view name, int index) {
  const std::string text =
      "Wexmon: no control " + std::string(name) + "(" + std::to_string(index) + ")\n";
  OutputDebugStringW(Widen(text).c_str());
  std::fputs(text.c_str(), stderr);
  std::abort();
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

}  // namespace

Win32WindowHost::Win32WindowHost(HINSTANCE instance) : instance_(instance) {
  HDC screen = GetDC(nullptr);
  dpiX_ = GetDeviceCaps(screen, LOGPIXELSX);
  dpiY_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (dpiX_ <= 0) dpiX_ = 96;
  if (dpiY_ <= 0) dpiY_ = 96;

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &Win32WindowHost::FormProc;
  wc.hInstance = instance_;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  wc.lpszClassName = kFormClass;
  RegisterClassExW(&wc);

  chineseFaces_ = ChineseFaces();
  // 9 points: the size the stored label heights were made for.
  const FontDef windowFont{.points = 9, .weight = FW_NORMAL, .charset = GB2312_CHARSET};
  uiFont_ = MakeFont(ChooseFace(WindowFaceCandidates(), chineseFaces_), windowFont, dpiY_);
}

Win32WindowHost::~Win32WindowHost() {
  // The handlers may be gone already; the windows' last messages reach none.
  events_ = {};
  ended_ = true;
  for (auto& [id, form] : forms_) {
    if (form.hwnd != nullptr) DestroyWindow(form.hwnd);
    for (ControlState& control : form.controls) {
      if (control.backBrush != nullptr) DeleteObject(control.backBrush);
    }
  }
  for (auto& [key, font] : fonts_) DeleteObject(font);
  if (uiFont_ != nullptr) DeleteObject(uiFont_);
}

int Win32WindowHost::Pixels(int twips, bool vertical) const {
  return MulDiv(twips, vertical ? dpiY_ : dpiX_, 1440);
}

Win32WindowHost::Form* Win32WindowHost::Find(WindowId window) {
  auto found = forms_.find(window);
  return found == forms_.end() ? nullptr : &found->second;
}

const Win32WindowHost::Form* Win32WindowHost::Find(WindowId window) const {
  auto found = forms_.find(window);
  return found == forms_.end() ? nullptr : &found->second;
}

HWND Win32WindowHost::Window(WindowId window) const {
  const Form* form = Find(window);
  return form == nullptr ? nullptr : form->hwnd;
}

HWND Win32WindowHost::Control(WindowId window, std::string_view name, int index) const {
  const Form* form = Find(window);
  if (form == nullptr) return nullptr;
  for (const ControlState& control : form->controls) {
    if (control.def->name == name && control.def->index == index) return control.hwnd;
  }
  return nullptr;
}

std::string Win32WindowHost::Caption(WindowId window, std::string_view name, int index) const {
  HWND hwnd = Control(window, name, index);
  return hwnd == nullptr ? std::string() : Narrow(WindowText(hwnd));
}

Win32WindowHost::ControlState& Win32WindowHost::Require(WindowId window, std::string_view name,
                                                        int index) {
  Form& form = Ensure(window);
  for (ControlState& control : form.controls) {
    if (control.def->name == name && control.def->index == index) return control;
  }
  NoSuchControl(name, index);
}

Win32WindowHost::Form& Win32WindowHost::Ensure(WindowId window) {
  if (Form* existing = Find(window)) return *existing;
  Form& form = forms_[window];
  form.def = &WindowDefinition(window);
  Build(form);
  return form;
}

void Win32WindowHost::Build(Form& form) {
  const WindowDef& definition = *form.def;
  // The stored position is that of the client area; the frame goes around it.
  RECT outer{Pixels(definition.left, false), Pixels(definition.top, true),
             Pixels(definition.left, false) + Pixels(definition.clientWidth, false),
             Pixels(definition.top, true) + Pixels(definition.clientHeight, true)};
  AdjustWindowRectEx(&outer, kFormStyle, FALSE, 0);
  FormContext context{this, &form};
  form.hwnd = CreateWindowExW(0, kFormClass, Widen(definition.caption).c_str(), kFormStyle,
                              outer.left, outer.top, outer.right - outer.left,
                              outer.bottom - outer.top, nullptr, nullptr, instance_, &context);

  int id = kFirstControlId;
  UINT_PTR timerId = kFirstTimerId;
  for (const ControlDef& def : definition.controls) {
    if (def.kind == ControlKind::Timer) {
      form.timers.push_back(TimerState{&def, timerId++, false});
      continue;
    }
    int left = Pixels(def.left, false);
    int top = Pixels(def.top, true);
    if (!def.parent.empty()) {
      const ControlDef* parent = FindControl(definition, def.parent, def.parentIndex);
      if (parent == nullptr) NoSuchControl(def.parent, def.parentIndex);
      left += Pixels(parent->left, false);
      top += Pixels(parent->top, true);
    }
    const wchar_t* windowClass = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (def.kind) {
      case ControlKind::Frame:
        windowClass = L"BUTTON";
        style |= BS_GROUPBOX;
        break;
      case ControlKind::Label:
        // A fixed-size label breaks a long caption into lines inside its
        // rectangle and clips what does not fit; an auto-size one stays on
        // one line.
        style |= SS_NOTIFY | SS_NOPREFIX | (def.autoSize ? SS_LEFTNOWORDWRAP : SS_LEFT);
        break;
      case ControlKind::Button:
        windowClass = L"BUTTON";
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case ControlKind::Timer:
        break;
    }
    ControlState control;
    control.def = &def;
    control.id = id++;
    control.foreColor = def.foreColor;
    control.hwnd = CreateWindowExW(0, windowClass, Widen(def.caption).c_str(), style, left, top,
                                   Pixels(def.width, false), Pixels(def.height, true), form.hwnd,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)),
                                   instance_, nullptr);
    HFONT font = uiFont_;
    if (def.font) {
      const std::wstring requested = Widen(def.font->face);
      const std::wstring key = requested + L"/" + std::to_wstring(def.font->points) + L"/" +
                               std::to_wstring(def.font->weight);
      auto found = fonts_.find(key);
      if (found == fonts_.end()) {
        const std::wstring face = ChooseFace(LabelFaceCandidates(requested), chineseFaces_);
        found = fonts_.emplace(key, MakeFont(face, *def.font, dpiY_)).first;
      }
      font = found->second;
    }
    SendMessageW(control.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (def.backColor) control.backBrush = CreateSolidBrush(*def.backColor);
    if (!def.enabled) EnableWindow(control.hwnd, FALSE);
    if (def.kind == ControlKind::Label && def.autoSize) FitToCaption(control);
    form.controls.push_back(control);
  }

  // The dialog manager's Tab key follows the order of the child windows, so
  // they are stacked by tab index. Frames go below everything: they are drawn
  // first and clipped by the controls inside them.
  std::vector<const ControlState*> order;
  for (const ControlState& control : form.controls) order.push_back(&control);
  std::stable_sort(order.begin(), order.end(), [](const ControlState* a, const ControlState* b) {
    const bool aFrame = a->def->kind == ControlKind::Frame;
    const bool bFrame = b->def->kind == ControlKind::Frame;
    if (aFrame != bFrame) return bFrame;
    return a->def->tabIndex < b->def->tabIndex;
  });
  HWND previous = HWND_TOP;
  for (const ControlState* control : order) {
    SetWindowPos(control->hwnd, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = control->hwnd;
    if (control->def->kind == ControlKind::Button && !form.takesFocus) {
      form.takesFocus = true;
      form.focus = control->hwnd;
    }
  }
}

void Win32WindowHost::FitToCaption(const ControlState& control) {
  HDC dc = GetDC(control.hwnd);
  auto font = reinterpret_cast<HFONT>(SendMessageW(control.hwnd, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(dc, font);
  const std::wstring text = WindowText(control.hwnd);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(control.hwnd, dc);
  SetWindowPos(control.hwnd, nullptr, 0, 0, size.cx, std::max<LONG>(size.cy, metrics.tmHeight),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32WindowHost::SetCaption(WindowId window, std::string_view control, int index,
                                 std::string_view text) {
  ControlState& state = Require(window, control, index);
  SetWindowTextW(state.hwnd, Widen(text).c_str());
  if (state.def->kind == ControlKind::Label && state.def->autoSize) FitToCaption(state);
}

ColorRef Win32WindowHost::ForeColor(WindowId window, std::string_view control, int index) {
  const ControlState& state = Require(window, control, index);
  return state.foreColor.value_or(static_cast<ColorRef>(GetSysColor(COLOR_WINDOWTEXT)));
}

void Win32WindowHost::SetForeColor(WindowId window, std::string_view control, int index,
                                   ColorRef color) {
  ControlState& state = Require(window, control, index);
  state.foreColor = color;
  InvalidateRect(state.hwnd, nullptr, TRUE);
}

void Win32WindowHost::SetTimerEnabled(WindowId window, std::string_view timer, bool enabled) {
  Form& form = Ensure(window);
  for (TimerState& state : form.timers) {
    if (state.def->name != timer) continue;
    if (enabled == state.running) return;  // enabling a running timer does not restart it
    if (enabled) {
      SetTimer(form.hwnd, state.id, static_cast<UINT>(state.def->intervalMs), nullptr);
    } else {
      KillTimer(form.hwnd, state.id);
    }
    state.running = enabled;
    return;
  }
  NoSuchControl(timer, kNoIndex);
}

void Win32WindowHost::StopTimers() {
  for (auto& [id, form] : forms_) {
    for (TimerState& timer : form.timers) {
      if (timer.running) KillTimer(form.hwnd, timer.id);
      timer.running = false;
    }
  }
}

void Win32WindowHost::LoadWindow(WindowId window) { Ensure(window); }

void Win32WindowHost::ShowWindow(WindowId window) {
  Form& form = Ensure(window);
  if (form.takesFocus) {
    ::ShowWindow(form.hwnd, shownOne_ ? SW_SHOW : firstShowCommand_);
  } else {
    // A window without a control that takes the focus (the display window)
    // comes up on top without taking the keyboard from the window in use.
    SetWindowPos(form.hwnd, HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  }
  shownOne_ = true;
}

void Win32WindowHost::HideWindow(WindowId window) {
  if (Form* form = Find(window)) ::ShowWindow(form->hwnd, SW_HIDE);
}

void Win32WindowHost::Focus(WindowId window, std::string_view name) {
  ControlState& control = Require(window, name, kNoIndex);
  Ensure(window).focus = control.hwnd;
  SetFocus(control.hwnd);
}

void Win32WindowHost::EndProgram() {
  ended_ = true;
  StopTimers();
  for (auto& [id, form] : forms_) ::ShowWindow(form.hwnd, SW_HIDE);
  PostQuitMessage(0);
}

// Enter on a focused push button presses it, as on Windows forms; the dialog
// manager alone would press only a default button.
bool Win32WindowHost::PressFocusedButton(const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_RETURN) return false;
  HWND focus = GetFocus();
  for (auto& [id, form] : forms_) {
    for (const ControlState& control : form.controls) {
      if (control.hwnd != focus || control.def->kind != ControlKind::Button) continue;
      // A held key repeats its key-down; only the first one presses.
      const bool repeat = (msg.lParam & (1L << 30)) != 0;
      if (!repeat) {
        SendMessageW(form.hwnd, WM_COMMAND, MAKEWPARAM(control.id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(focus));
      }
      return true;
    }
  }
  return false;
}

int Win32WindowHost::Run() {
  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (PressFocusedButton(msg)) continue;
    // The dialog manager gives the windows Tab and Shift+Tab between the
    // buttons and Space on a focused button.
    HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    const bool ours = std::any_of(forms_.begin(), forms_.end(),
                                  [root](const auto& entry) { return entry.second.hwnd == root; });
    if (root != nullptr && ours && IsDialogMessageW(root, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 0;
}

LRESULT CALLBACK Win32WindowHost::FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    const auto* context = static_cast<const FormContext*>(create->lpCreateParams);
    auto* form = static_cast<Form*>(context->form);
    form->host = context->host;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (form == nullptr || form->host == nullptr)
    return DefWindowProcW(hwnd, message, wParam, lParam);
  if (form->hwnd == nullptr) form->hwnd = hwnd;
  return form->host->OnMessage(*form, message, wParam, lParam);
}

LRESULT Win32WindowHost::OnMessage(Form& form, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (lParam != 0) OnCommand(form, LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_CTLCOLORSTATIC:
      return OnCtlColor(form, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_TIMER:
      for (const TimerState& timer : form.timers) {
        if (timer.id == wParam && timer.running && !ended_ && events_.timer) {
          events_.timer(form.def->id, timer.def->name);
          break;
        }
      }
      return 0;
    case WM_CLOSE:
      // The close button takes the window off the screen; what else follows
      // is the program's choice.
      ::ShowWindow(form.hwnd, SW_HIDE);
      if (events_.closed && !ended_) events_.closed(form.def->id);
      return 0;
    case WM_ACTIVATE:
      // The focus goes back to the control that had it when the window was
      // last left, as in a dialog.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(form.hwnd, focus)) form.focus = focus;
      } else if (HIWORD(wParam) == 0 && form.focus != nullptr) {
        SetFocus(form.focus);
        return 0;
      }
      break;
    case WM_SETFOCUS:
      if (form.focus != nullptr) {
        SetFocus(form.focus);
        return 0;
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(form.hwnd, message, wParam, lParam);
}

void Win32WindowHost::OnCommand(Form& form, int id, int code) {
  for (const ControlState& control : form.controls) {
    if (control.id != id) continue;
    const WindowId window = form.def->id;
    const ControlDef& def = *control.def;
    if (def.kind == ControlKind::Button && code == BN_CLICKED && events_.clicked) {
      events_.clicked(window, def.name);
    } else if (def.kind == ControlKind::Label && code == STN_DBLCLK && events_.doubleClicked) {
      events_.doubleClicked(window, def.name, def.index);
    }
    return;
  }
}

LRESULT Win32WindowHost::OnCtlColor(Form& form, HDC dc, HWND hwnd) {
  const ControlState* control = nullptr;
  for (const ControlState& candidate : form.controls) {
    if (candidate.hwnd == hwnd) control = &candidate;
  }
  const bool ownFore = control != nullptr && control->foreColor.has_value();
  SetTextColor(dc, ownFore ? *control->foreColor : GetSysColor(COLOR_WINDOWTEXT));
  // Labels are drawn opaque: their own background colour, or the window's.
  if (control != nullptr && control->backBrush != nullptr) {
    SetBkColor(dc, *control->def->backColor);
    return reinterpret_cast<LRESULT>(control->backBrush);
  }
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

}  // namespace wexmon
