#include "window_defs.h"

#include <array>

namespace wexmon {
namespace {

constexpr FontDef kDisplayFont{.face = "隶书", .points = 72, .weight = 400, .charset = 134};

// Relay indicators: left = 240 + 1080 * (i mod 4), top = 360 + 360 * (i div 4).
constexpr ControlDef RelayLabel(int i, std::string_view caption) {
  return ControlDef{.name = "lblRelay",
                    .index = i,
                    .kind = ControlKind::Label,
                    .parent = "Frame2",
                    .caption = caption,
                    .left = 240 + 1080 * (i % 4),
                    .top = 360 + 360 * (i / 4),
                    .width = 636,
                    .height = 180,
                    .tabIndex = 7 + i,
                    .autoSize = true};
}

// Display frames: two columns, four rows; frame i holds value label i.
constexpr ControlDef TempFrame(int i, std::string_view caption) {
  return ControlDef{.name = "FrameTemp",
                    .index = i,
                    .kind = ControlKind::Frame,
                    .caption = caption,
                    .left = 120 + 4080 * (i % 2),
                    .top = 2040 * (i / 2),
                    .width = 3972,
                    .height = 1932,
                    .tabIndex = 2 * i};
}

constexpr ControlDef TempLabel(int i) {
  return ControlDef{.name = "lblTemp",
                    .index = i,
                    .kind = ControlKind::Label,
                    .parent = "FrameTemp",
                    .parentIndex = i,
                    .caption = "0.00",
                    .left = 120,
                    .top = 240,
                    .width = 3732,
                    .height = 1572,
                    .tabIndex = 2 * i + 1,
                    .backColor = kDarkRed,
                    .foreColor = kGreen,
                    .font = kDisplayFont};
}

constexpr std::array kFrmMainControls{
    ControlDef{.name = "Frame1",
               .kind = ControlKind::Frame,
               .caption = "温度采集",
               .left = 480,
               .top = 120,
               .width = 4572,
               .height = 1812,
               .tabIndex = 0},
    ControlDef{.name = "Label1",
               .kind = ControlKind::Label,
               .parent = "Frame1",
               .caption = "1~4的温度：",
               .left = 360,
               .top = 360,
               .width = 3612,
               .height = 252,
               .tabIndex = 3},
    ControlDef{.name = "Label2",
               .kind = ControlKind::Label,
               .parent = "Frame1",
               .caption = "5~8的温度：",
               .left = 360,
               .top = 720,
               .width = 3732,
               .height = 252,
               .tabIndex = 2},
    ControlDef{.name = "CmdStart",
               .kind = ControlKind::Button,
               .parent = "Frame1",
               .caption = "启动",
               .left = 240,
               .top = 1320,
               .width = 1455,
               .height = 375,
               .tabIndex = 1},
    ControlDef{.name = "Frame2",
               .kind = ControlKind::Frame,
               .caption = "继电器输出",
               .left = 480,
               .top = 2160,
               .width = 4572,
               .height = 2052,
               .tabIndex = 4},
    RelayLabel(0, "继电器1"),
    RelayLabel(1, "继电器2"),
    RelayLabel(2, "继电器3"),
    RelayLabel(3, "继电器4"),
    RelayLabel(4, "继电器5"),
    RelayLabel(5, "继电器6"),
    RelayLabel(6, "继电器7"),
    RelayLabel(7, "继电器8"),
    ControlDef{.name = "CmdRelay",
               .kind = ControlKind::Button,
               .parent = "Frame2",
               .caption = "输出",
               .left = 240,
               .top = 1560,
               .width = 1455,
               .height = 375,
               .tabIndex = 6},
    ControlDef{.name = "Label3",
               .index = 0,
               .kind = ControlKind::Label,
               .parent = "Frame2",
               .caption = "双击,切换继电器状态",
               .left = 2160,
               .top = 1440,
               .width = 1716,
               .height = 180,
               .tabIndex = 15,
               .autoSize = true},
    ControlDef{.name = "Label3",
               .index = 1,
               .kind = ControlKind::Label,
               .parent = "Frame2",
               .caption = "红:打开,绿:闭合",
               .left = 2160,
               .top = 1680,
               .width = 1368,
               .height = 180,
               .tabIndex = 16,
               .autoSize = true},
    ControlDef{.name = "CmdExit",
               .kind = ControlKind::Button,
               .caption = "退出",
               .left = 3840,
               .top = 4320,
               .width = 1095,
               .height = 375,
               .tabIndex = 5},
    ControlDef{.name = "Timer1", .kind = ControlKind::Timer, .intervalMs = 1000, .enabled = false},
};

constexpr std::array kFrmShowControls{
    TempFrame(0, "温度1"), TempLabel(0), TempFrame(1, "温度2"), TempLabel(1),
    TempFrame(2, "温度3"), TempLabel(2), TempFrame(3, "温度4"), TempLabel(3),
    TempFrame(4, "温度5"), TempLabel(4), TempFrame(5, "温度6"), TempLabel(5),
    TempFrame(6, "温度7"), TempLabel(6), TempFrame(7, "温度8"), TempLabel(7),
};

const WindowDef kFrmMain{
    .id = WindowId::FrmMain,
    .name = "FrmMain",
    .caption = "Zentrova    温度采集模块测试软件   继电器控制输出",
    .clientWidth = 5268,
    .clientHeight = 4776,
    .left = 1584,
    .top = 1224,
    .controls = kFrmMainControls,
};

const WindowDef kFrmShow{
    .id = WindowId::FrmShow,
    .name = "FrmShow",
    .caption = "温度显示    Zentrova",
    .clientWidth = 8232,
    .clientHeight = 8184,
    .left = 3432,
    .top = 636,
    .controls = kFrmShowControls,
};

}  // namespace

const WindowDef& FrmMainDefinition() { return kFrmMain; }
const WindowDef& FrmShowDefinition() { return kFrmShow; }

const WindowDef& WindowDefinition(WindowId id) {
  return id == WindowId::FrmMain ? kFrmMain : kFrmShow;
}

const ControlDef* FindControl(const WindowDef& window, std::string_view name, int index) {
  for (const ControlDef& control : window.controls) {
    if (control.name == name && control.index == index) return &control;
  }
  return nullptr;
}

}  // namespace wexmon
