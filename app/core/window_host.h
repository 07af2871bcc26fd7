// What the handlers may do to the windows. The toolkit layer implements it; the
// handler tests use a recording fake. Controls are reached by window, name and,
// for a member of a control array, index (kNoIndex otherwise).
#pragma once

#include <string_view>

#include "colors.h"
#include "window_defs.h"

namespace wexmon {

class WindowHost {
 public:
  virtual ~WindowHost() = default;

  // Caption of a label, button or frame. Writing to a window that does not
  // exist yet creates it without showing it.
  virtual void SetCaption(WindowId window, std::string_view control, int index,
                          std::string_view text) = 0;
  virtual ColorRef ForeColor(WindowId window, std::string_view control, int index) = 0;
  virtual void SetForeColor(WindowId window, std::string_view control, int index,
                            ColorRef color) = 0;
  virtual void SetTimerEnabled(WindowId window, std::string_view timer, bool enabled) = 0;

  // Creates the window from its definition if it does not exist, without showing it.
  virtual void LoadWindow(WindowId window) = 0;
  // Creates the window if needed and shows it, not modal and without an owner.
  virtual void ShowWindow(WindowId window) = 0;
  virtual void HideWindow(WindowId window) = 0;

  // Ends the program at once, closing every window; no unload handler runs.
  virtual void EndProgram() = 0;
};

}  // namespace wexmon
