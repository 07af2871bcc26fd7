// The two windows as data: each window's caption, client size and stored place,
// and its controls, parent before children. The toolkit layer builds the
// windows from these tables; the handlers find controls by name and index.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "colors.h"

namespace wexmon {

enum class WindowId { FrmMain, FrmShow };

enum class ControlKind { Frame, Label, Button, Timer };

// Index of a control that is not a member of a control array.
inline constexpr int kNoIndex = -1;

struct FontDef {
  std::string_view face{};
  int points = 0;
  int weight = 400;
  bool italic = false;
  bool underline = false;
  bool strikeOut = false;
  int charset = 0;  // 134: GB2312
};

struct ControlDef {
  std::string_view name{};
  int index = kNoIndex;
  ControlKind kind = ControlKind::Label;
  std::string_view parent{};  // empty: the window's client area; else a frame's name
  int parentIndex = kNoIndex;
  std::string_view caption{};
  // Place and outer size in twips, from the parent's top-left corner (for a
  // frame's child: the frame's outer corner).
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int tabIndex = -1;                    // -1: none (timer)
  std::optional<ColorRef> backColor{};  // unset: the kind's default colours
  std::optional<ColorRef> foreColor{};
  std::optional<FontDef> font{};  // unset: the window's default font
  bool autoSize = false;          // labels: take the caption's size on one line
  int intervalMs = 0;             // timer only
  bool enabled = true;
};

struct WindowDef {
  WindowId id = WindowId::FrmMain;
  std::string_view name{};
  std::string_view caption{};
  int clientWidth = 0;  // twips
  int clientHeight = 0;
  int left = 0;  // stored screen position of the client area, twips
  int top = 0;
  std::span<const ControlDef> controls{};
};

const WindowDef& FrmMainDefinition();
const WindowDef& FrmShowDefinition();
const WindowDef& WindowDefinition(WindowId id);

// The control with that name and index, or nullptr.
const ControlDef* FindControl(const WindowDef& window, std::string_view name, int index = kNoIndex);

// Kinds that take the keyboard focus.
constexpr bool TakesFocus(ControlKind kind) { return kind == ControlKind::Button; }

}  // namespace wexmon
