// Geometry and focus rules that the window tables must keep.
#include "window_defs.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "twips.h"

namespace wexmon {
namespace {

TEST(Twips, FifteenToThePixelRoundedToNearest) {
  EXPECT_EQ(TwipsToPixels(0), 0);
  EXPECT_EQ(TwipsToPixels(15), 1);
  EXPECT_EQ(TwipsToPixels(5268), 351);
  EXPECT_EQ(TwipsToPixels(4776), 318);
  EXPECT_EQ(TwipsToPixels(1584), 106);  // 105.6
  EXPECT_EQ(TwipsToPixels(1224), 82);   // 81.6
  EXPECT_EQ(TwipsToPixels(7), 0);
  EXPECT_EQ(TwipsToPixels(8), 1);
}

class WindowTable : public ::testing::TestWithParam<WindowId> {};

TEST_P(WindowTable, ParentsComeFirstAndChildrenFitInside) {
  const WindowDef& window = WindowDefinition(GetParam());
  std::set<std::pair<std::string, int>> seen;
  for (const ControlDef& c : window.controls) {
    if (c.kind == ControlKind::Timer) continue;
    int parentWidth = window.clientWidth;
    int parentHeight = window.clientHeight;
    if (!c.parent.empty()) {
      ASSERT_TRUE(seen.count({std::string(c.parent), c.parentIndex}))
          << c.name << " before its parent " << c.parent;
      const ControlDef* parent = FindControl(window, c.parent, c.parentIndex);
      ASSERT_NE(parent, nullptr);
      EXPECT_EQ(parent->kind, ControlKind::Frame);
      parentWidth = parent->width;
      parentHeight = parent->height;
      EXPECT_GE(c.top, 240) << c.name << c.index << " overlaps its frame's caption";
    }
    EXPECT_GE(c.left, 0);
    EXPECT_LE(c.left + c.width, parentWidth) << c.name << c.index;
    EXPECT_LE(c.top + c.height, parentHeight) << c.name << c.index;
    EXPECT_TRUE(seen.insert({std::string(c.name), c.index}).second) << "twice: " << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowTable,
                         ::testing::Values(WindowId::FrmMain, WindowId::FrmShow));

TEST(WindowTables, RelayLabelsAndDisplayFramesLieOnTheirGrids) {
  for (int i = 0; i < 8; ++i) {
    const ControlDef* relay = FindControl(FrmMainDefinition(), "lblRelay", i);
    ASSERT_NE(relay, nullptr);
    EXPECT_EQ(relay->left, 240 + 1080 * (i % 4));
    EXPECT_EQ(relay->top, 360 + 360 * (i / 4));
    EXPECT_EQ(relay->caption, "继电器" + std::to_string(i + 1));

    const ControlDef* frame = FindControl(FrmShowDefinition(), "FrameTemp", i);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->left, 120 + 4080 * (i % 2));
    EXPECT_EQ(frame->top, 2040 * (i / 2));
    EXPECT_EQ(frame->caption, "温度" + std::to_string(i + 1));
    const ControlDef* value = FindControl(FrmShowDefinition(), "lblTemp", i);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->parentIndex, i);
  }
}

TEST(WindowTables, OnlyTheThreeButtonsTakeTheFocusInTabOrder) {
  std::vector<std::pair<int, std::string_view>> focusable;
  std::set<int> tabIndices;
  for (const ControlDef& c : FrmMainDefinition().controls) {
    if (c.kind == ControlKind::Timer) continue;
    EXPECT_TRUE(tabIndices.insert(c.tabIndex).second) << "tab index reused: " << c.tabIndex;
    if (TakesFocus(c.kind)) focusable.emplace_back(c.tabIndex, c.name);
  }
  std::sort(focusable.begin(), focusable.end());
  ASSERT_EQ(focusable.size(), 3u);
  EXPECT_EQ(focusable[0].second, "CmdStart");
  EXPECT_EQ(focusable[1].second, "CmdExit");
  EXPECT_EQ(focusable[2].second, "CmdRelay");
  for (const ControlDef& c : FrmShowDefinition().controls) EXPECT_FALSE(TakesFocus(c.kind));
}

TEST(WindowTables, TimerStartsDisabledAtOneSecond) {
  const ControlDef* timer = FindControl(FrmMainDefinition(), "Timer1");
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->kind, ControlKind::Timer);
  EXPECT_EQ(timer->intervalMs, 1000);
  EXPECT_FALSE(timer->enabled);
}

}  // namespace
}  // namespace wexmon
