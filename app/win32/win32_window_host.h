// The windows over the plain Win32 API, built from the definition tables: a
// top-level window per definition with its client area at the stored place,
// group boxes for frames, static controls for labels, push buttons, and a
// window timer per periodic timer. Places and sizes scale from twips by the
// screen's DPI. Every control is a direct child of its window (a frame's
// children sit at the frame's place plus their own), so one window procedure
// hears every notification.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "window_defs.h"
#include "window_host.h"

namespace wexmon {

class Win32WindowHost final : public WindowHost {
 public:
  // What the windows report. `closed` runs after a window's close button has
  // taken it off the screen.
  struct Events {
    std::function<void(WindowId, std::string_view name)> clicked;
    std::function<void(WindowId, std::string_view name, int index)> doubleClicked;
    std::function<void(WindowId, std::string_view name)> timer;
    std::function<void(WindowId)> closed;
  };

  explicit Win32WindowHost(HINSTANCE instance);
  ~Win32WindowHost() override;
  Win32WindowHost(const Win32WindowHost&) = delete;
  Win32WindowHost& operator=(const Win32WindowHost&) = delete;

  void SetEvents(Events events) { events_ = std::move(events); }
  // How the first window shown appears (the nCmdShow of wWinMain).
  void SetFirstShowCommand(int command) { firstShowCommand_ = command; }

  // WindowHost
  void SetCaption(WindowId window, std::string_view control, int index,
                  std::string_view text) override;
  ColorRef ForeColor(WindowId window, std::string_view control, int index) override;
  void SetForeColor(WindowId window, std::string_view control, int index, ColorRef color) override;
  void SetTimerEnabled(WindowId window, std::string_view timer, bool enabled) override;
  void LoadWindow(WindowId window) override;
  void ShowWindow(WindowId window) override;
  void HideWindow(WindowId window) override;
  void EndProgram() override;

  // nullptr until the window or control exists.
  HWND Window(WindowId window) const;
  HWND Control(WindowId window, std::string_view name, int index = kNoIndex) const;
  std::string Caption(WindowId window, std::string_view name, int index = kNoIndex) const;
  // Gives the keyboard focus to a control of a window.
  void Focus(WindowId window, std::string_view name);
  // Stops every timer, e.g. while a fatal report is on the screen.
  void StopTimers();
  bool Ended() const { return ended_; }

  // Runs the message loop until EndProgram or WM_QUIT; returns the quit code.
  int Run();

 private:
  struct ControlState {
    const ControlDef* def = nullptr;
    HWND hwnd = nullptr;
    int id = 0;
    std::optional<ColorRef> foreColor;
    HBRUSH backBrush = nullptr;  // owned; only with a colour of its own
  };
  struct TimerState {
    const ControlDef* def = nullptr;
    UINT_PTR id = 0;
    bool running = false;
  };
  struct Form {
    Win32WindowHost* host = nullptr;
    const WindowDef* def = nullptr;
    HWND hwnd = nullptr;
    std::vector<ControlState> controls;
    std::vector<TimerState> timers;
    HWND focus = nullptr;  // the control to give the focus back to at activation
    bool takesFocus = false;
  };

  static LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(Form& form, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnCtlColor(Form& form, HDC dc, HWND control);
  void OnCommand(Form& form, int id, int code);
  bool PressFocusedButton(const MSG& msg);

  Form& Ensure(WindowId window);
  void Build(Form& form);
  void FitToCaption(const ControlState& control);
  Form* Find(WindowId window);
  const Form* Find(WindowId window) const;
  ControlState& Require(WindowId window, std::string_view name, int index);
  int Pixels(int twips, bool vertical) const;

  HINSTANCE instance_;
  Events events_;
  int firstShowCommand_ = SW_SHOWNORMAL;
  bool shownOne_ = false;
  bool ended_ = false;
  int dpiX_ = 96;
  int dpiY_ = 96;
  std::vector<std::wstring> chineseFaces_;
  HFONT uiFont_ = nullptr;
  std::map<std::wstring, HFONT> fonts_;  // by face and size, shared by the controls
  std::map<WindowId, Form> forms_;
};

}  // namespace wexmon
