// The handlers of the main window against a fake window host and a fake card.
#include "frm_main.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes.h"
#include "texts.h"

namespace wexmon::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr WindowId kMain = WindowId::FrmMain;
constexpr WindowId kShow = WindowId::FrmShow;

const std::string kStartCalls[] = {"ConfigInfo()", "Initial(1,5,9600,0)",
                                   "StartSnapshot(1,200,0,8,-1000,0,0,0)"};

class FrmMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.LoadWindow(kMain);
    form.Form_Load();
  }

  void StartRun() {
    form.CmdStart_Click();
    ASSERT_EQ(form.State().Running, 1);
    card.calls.clear();
  }

  std::string Label1() const { return host.Caption(kMain, "Label1"); }
  std::string Label2() const { return host.Caption(kMain, "Label2"); }
  std::string Temp(int i) const { return host.Caption(kShow, "lblTemp", i); }
  bool Timer() const { return host.TimerEnabled(kMain, "Timer1"); }

  FakeHost host;
  FakeCard card;
  FrmMain form{host, card, "."};
};

TEST_F(FrmMainTest, LoadSetsTheWindowStateAndShowsEveryRelayOpen) {
  const FrmMainState& s = form.State();
  EXPECT_EQ(s.Running, 0);
  EXPECT_EQ(s.ComPort, 1);
  EXPECT_EQ(s.NumChannels, 8);
  EXPECT_EQ(s.RelayPort, 256);
  EXPECT_EQ(s.RelayData, 0);
  EXPECT_TRUE(std::all_of(s.SnapBuf.begin(), s.SnapBuf.end(), [](auto v) { return v == 0; }));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(host.Color(kMain, "lblRelay", i), kRed) << i;
  EXPECT_THAT(card.calls, IsEmpty());  // the load handler calls no library function
  EXPECT_FALSE(host.Exists(kShow));
  EXPECT_FALSE(Timer());
}

TEST_F(FrmMainTest, LoadTurnsARelayThatStartsRedToGreen) {
  // The load toggles each indicator: one that already has the red colour turns green.
  FakeHost other;
  other.LoadWindow(kMain);
  other.SetForeColor(kMain, "lblRelay", 3, kRed);
  FrmMain second(other, card, ".");
  second.Form_Load();
  EXPECT_EQ(other.Color(kMain, "lblRelay", 3), kGreen);
  EXPECT_EQ(other.Color(kMain, "lblRelay", 4), kRed);
}

TEST_F(FrmMainTest, StartRunsTheThreeStepsAndEntersAcquiring) {
  std::vector<bool> displayUpAtCall;
  card.onCall = [&](const std::string&) { displayUpAtCall.push_back(host.Visible(kShow)); };
  form.CmdStart_Click();
  EXPECT_THAT(card.calls, ElementsAre(kStartCalls[0], kStartCalls[1], kStartCalls[2]));
  EXPECT_EQ(form.State().Running, 1);
  EXPECT_EQ(Label1(), "提示：已开始采集");
  EXPECT_EQ(host.Caption(kMain, "CmdStart"), "停止");
  EXPECT_TRUE(Timer());
  EXPECT_TRUE(host.Visible(kShow));
  // The display window is up before the first library call.
  EXPECT_THAT(displayUpAtCall, ElementsAre(true, true, true));
}

TEST_F(FrmMainTest, DriverCheckHandsOverThirtyTwoSpacesAndATerminator) {
  form.CmdStart_Click();
  EXPECT_EQ(card.modelBufferSeen, std::string(32, ' ') + std::string(1, '\0'));
}

struct FailureCase {
  const char* name;
  std::string model;
  std::int32_t initial;
  std::int32_t start;
  std::string_view status;
  std::size_t callsMade;
};

class StartFailureTest : public FrmMainTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartFailureTest, StopsAtTheFailingStepAndStaysIdle) {
  const FailureCase& c = GetParam();
  card.model = c.model;
  card.initialResult = c.initial;
  card.startResult = c.start;
  form.CmdStart_Click();

  EXPECT_EQ(Label1(), c.status);
  ASSERT_EQ(card.calls.size(), c.callsMade);
  for (std::size_t i = 0; i < c.callsMade; ++i) EXPECT_EQ(card.calls[i], kStartCalls[i]);
  EXPECT_EQ(form.State().Running, 0);
  EXPECT_FALSE(Timer());
  EXPECT_EQ(host.Caption(kMain, "CmdStart"), "启动");
  EXPECT_TRUE(host.Visible(kShow));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartFailureTest,
    ::testing::Values(FailureCase{"LowerCaseModel", "w316", 1, 1, "警告：驱动程序不正确！", 1},
                      FailureCase{"ShortModel", "W31", 1, 1, "警告：驱动程序不正确！", 1},
                      FailureCase{"EmptyModel", "", 1, 1, "警告：驱动程序不正确！", 1},
                      FailureCase{"ShiftedModel", "XW316", 1, 1, "警告：驱动程序不正确！", 1},
                      FailureCase{"InitialFails", "W316", 0, 1, "警告：初始化错误！", 2},
                      FailureCase{"StartSnapshotFails", "W316", 1, 0, "警告：启动错误！", 3}),
    [](const auto& tc) { return std::string(tc.param.name); });

// Besides its warning, each failed step is reported once with its step; a
// good start reports nothing.
TEST_F(FrmMainTest, FailedStartStepsAreReportedWithTheirStep) {
  struct Recording final : StartFailureReport {
    void StartFailed(StartStep step) override { steps.push_back(step); }
    std::vector<StartStep> steps;
  } report;
  FrmMain reporting(host, card, ".", &report);
  reporting.Form_Load();
  card.model = "w316";
  reporting.CmdStart_Click();
  card.model = "W316";
  card.initialResult = 0;
  reporting.CmdStart_Click();
  card.initialResult = 1;
  card.startResult = 0;
  reporting.CmdStart_Click();
  card.startResult = 1;
  reporting.CmdStart_Click();
  EXPECT_THAT(report.steps,
              ElementsAre(StartStep::DriverCheck, StartStep::Initial, StartStep::StartSnapshot));
  EXPECT_EQ(reporting.State().Running, 1);
}

TEST_F(FrmMainTest, AnyModelNameBeginningWithW316PassesTheCheck) {
  card.model = "W316-B";
  form.CmdStart_Click();
  EXPECT_EQ(form.State().Running, 1);
}

TEST_F(FrmMainTest, NonZeroResultsOtherThanOneCountAsSuccess) {
  card.initialResult = -1;
  card.startResult = 166;  // the ring's size in bytes
  form.CmdStart_Click();
  EXPECT_EQ(form.State().Running, 1);
}

TEST_F(FrmMainTest, APressAfterAFailedStartRepeatsTheWholeSequence) {
  card.startResult = 0;
  form.CmdStart_Click();
  card.startResult = 1;
  card.calls.clear();
  form.CmdStart_Click();
  EXPECT_THAT(card.calls, ElementsAre(kStartCalls[0], kStartCalls[1], kStartCalls[2]));
  EXPECT_EQ(Label1(), "提示：已开始采集");
}

TEST_F(FrmMainTest, SecondPressStopsTheRunShowsThenHidesTheDisplay) {
  StartRun();
  const std::size_t logBefore = host.Log().size();
  form.CmdStart_Click();
  EXPECT_THAT(card.calls, ElementsAre("StopIntr()"));
  EXPECT_EQ(form.State().Running, 0);
  EXPECT_EQ(host.Caption(kMain, "CmdStart"), "启动");
  EXPECT_FALSE(Timer());
  EXPECT_EQ(Label1(), "提示：模块已停止!");
  EXPECT_TRUE(host.Exists(kShow));
  EXPECT_FALSE(host.Visible(kShow));
  const std::vector<std::string> stopLog(host.Log().begin() + static_cast<long>(logBefore),
                                         host.Log().end());
  EXPECT_THAT(stopLog, ElementsAre("show FrmShow", "timer Timer1 off", "hide FrmShow"));
}

TEST_F(FrmMainTest, ExitWhileIdleEndsWithoutAnyLibraryCall) {
  form.CmdExit_Click();
  EXPECT_TRUE(host.Ended());
  EXPECT_THAT(card.calls, IsEmpty());
  EXPECT_FALSE(host.Exists(kShow));
}

TEST_F(FrmMainTest, ExitWhileAcquiringStopsFirstThenEnds) {
  StartRun();
  form.CmdExit_Click();
  EXPECT_THAT(card.calls, ElementsAre("StopIntr()"));  // once: no unload call follows
  EXPECT_EQ(Label1(), "提示：模块已停止!");
  EXPECT_FALSE(Timer());
  EXPECT_EQ(host.Log().back(), "end");
}

TEST_F(FrmMainTest, UnloadCallsStopIntrAndTouchesNothingElse) {
  form.Form_Unload();
  EXPECT_THAT(card.calls, ElementsAre("StopIntr()"));
  EXPECT_EQ(Label1(), "1~4的温度：");

  StartRun();
  form.Form_Unload();
  EXPECT_THAT(card.calls, ElementsAre("StopIntr()"));
  EXPECT_EQ(form.State().Running, 1);
  EXPECT_TRUE(Timer());
  EXPECT_EQ(Label1(), "提示：已开始采集");
}

// ---- Display cycle ----------------------------------------------------------

TEST_F(FrmMainTest, TickWhileIdleDoesNothing) {
  form.Timer1_Timer();
  EXPECT_THAT(card.calls, IsEmpty());
  EXPECT_EQ(Label1(), "1~4的温度：");
}

TEST_F(FrmMainTest, TickShowsTheNewestRowInBothWindows) {
  StartRun();
  card.newestRow = {32400, 32404, 31996, 34000, 34001, 31120, 31119, 0};
  form.Timer1_Timer();
  EXPECT_THAT(card.calls, ElementsAre("GetSnapshot(10,0)"));
  EXPECT_EQ(Label1(), "1~4点温度：  25.0,  25.3,  -0.3,  125.0");
  EXPECT_EQ(Label2(), "5~8点温度：  No,  -55.0,  No,  No");
  const char* expected[] = {"25.0", "25.3", "-0.3", "125.0", "No", "-55.0", "No", "No"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Temp(i), expected[i]) << i;
}

TEST_F(FrmMainTest, TickHandlesReadingsAboveThe16BitSignBit) {
  StartRun();
  // 65535 and 40000 arrive as negative 16-bit elements.
  card.newestRow = {65535, 32000, 40000, 32768, 32017, 31983, 32008, 31992};
  form.Timer1_Timer();
  EXPECT_EQ(Label1(), "1~4点温度：  No,  0.0,  No,  48.0");
  EXPECT_EQ(Label2(), "5~8点温度：  1.1,  -1.1,  0.5,  -0.5");
}

TEST_F(FrmMainTest, TickUsesTheLocaleDecimalSeparator) {
  FrmMain comma(host, card, ",");
  comma.Form_Load();
  comma.CmdStart_Click();
  card.newestRow = {32404, 31996, 32000, 0, 0, 0, 0, 0};
  comma.Timer1_Timer();
  EXPECT_EQ(Label1(), "1~4点温度：  25,3,  -0,3,  0,0,  No");
  EXPECT_EQ(Temp(0), "25,3");
}

TEST_F(FrmMainTest, FailedSnapshotWarnsAndLeavesTheOtherLabelsAlone) {
  StartRun();
  card.newestRow = {32400, 32400, 32400, 32400, 32416, 32416, 32416, 32416};
  form.Timer1_Timer();
  card.snapshotResult = 0;
  card.newestRow = {0, 0, 0, 0, 0, 0, 0, 0};
  form.Timer1_Timer();
  EXPECT_EQ(Label1(), "警告：取采样结果失败");
  EXPECT_EQ(Label2(), "5~8点温度：  26.0,  26.0,  26.0,  26.0");
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Temp(i), i < 4 ? "25.0" : "26.0") << i;

  card.snapshotResult = 1;
  form.Timer1_Timer();
  EXPECT_EQ(Label1(), "1~4点温度：  No,  No,  No,  No");
}

TEST_F(FrmMainTest, TickAfterTheDisplayWasClosedFillsItWithoutShowingIt) {
  StartRun();
  host.CloseByUser(kShow);
  card.newestRow = {32400, 0, 0, 0, 0, 0, 0, 32416};
  form.Timer1_Timer();
  EXPECT_FALSE(host.Visible(kShow));
  EXPECT_EQ(Temp(0), "25.0");
  EXPECT_EQ(Temp(7), "26.0");
}

TEST_F(FrmMainTest, StartMessageIsReplacedByTheFirstGoodTick) {
  StartRun();
  EXPECT_EQ(Label1(), "提示：已开始采集");
  form.Timer1_Timer();
  EXPECT_EQ(Label1(), "1~4点温度：  No,  No,  No,  No");  // ring still all zero
}

// ---- Relay outputs ------------------------------------------------------------

TEST_F(FrmMainTest, RelayButtonWritesTheGreenIndicatorsAsBits) {
  form.CmdRelay_Click();
  form.lblRelay_DblClick(2);
  EXPECT_EQ(host.Color(kMain, "lblRelay", 2), kGreen);
  form.CmdRelay_Click();
  form.lblRelay_DblClick(2);
  EXPECT_EQ(host.Color(kMain, "lblRelay", 2), kRed);
  EXPECT_THAT(card.calls, ElementsAre("outportb(256,0)", "outportb(256,4)"));
  for (std::int16_t i = 0; i < 8; ++i) form.lblRelay_DblClick(i);
  form.CmdRelay_Click();
  EXPECT_EQ(card.calls.back(), "outportb(256,255)");
  EXPECT_EQ(form.State().RelayData, 255);
  form.lblRelay_DblClick(0);
  form.lblRelay_DblClick(7);
  form.CmdRelay_Click();
  EXPECT_EQ(card.calls.back(), "outportb(256,126)");
}

TEST_F(FrmMainTest, RelayWarningAsksOnceAfterTheWriteAndTellsOnlyWhenUnreachable) {
  for (const bool reachable : {false, true}) {
    std::vector<std::string> events;
    RelayWarning warning(
        [&](std::uint16_t port) -> std::optional<std::string> {
          events.push_back("probe(" + std::to_string(port) + ") after " + card.calls.back());
          if (reachable) return std::nullopt;
          return std::string("no access");
        },
        [&](const std::string& text) { events.push_back(text); });
    form.SetRelayWarning(&warning);
    card.calls.clear();
    for (int press = 0; press < 3; ++press) form.CmdRelay_Click();
    EXPECT_EQ(card.calls.size(), 3u);  // every press still writes
    ASSERT_EQ(events.size(), reachable ? 1u : 2u);
    EXPECT_EQ(events[0], "probe(256) after outportb(256,0)");
    if (!reachable) {
      EXPECT_EQ(events[1], RelayWarningText(256, "no access"));
      EXPECT_NE(events[1].find("no access"), std::string::npos);
    }
    form.SetRelayWarning(nullptr);
  }
}

TEST_F(FrmMainTest, TheChosenComPortIsOpened) {
  form.UseComPort(12);
  form.Form_Load();
  form.CmdStart_Click();
  EXPECT_EQ(card.calls.at(1), "Initial(12,5,9600,0)");
}

TEST_F(FrmMainTest, IndicatorOfAnotherColourTurnsRedAndSetsNoBit) {
  host.SetForeColor(kMain, "lblRelay", 5, 0x00FF01);  // almost green
  form.CmdRelay_Click();
  EXPECT_EQ(card.calls.back(), "outportb(256,0)");
  form.lblRelay_DblClick(5);
  EXPECT_EQ(host.Color(kMain, "lblRelay", 5), kRed);
}

TEST_F(FrmMainTest, RelaysWorkDuringARunWithoutTouchingIt) {
  StartRun();
  form.lblRelay_DblClick(0);
  form.CmdRelay_Click();
  EXPECT_THAT(card.calls, ElementsAre("outportb(256,1)"));
  EXPECT_EQ(form.State().Running, 1);
  EXPECT_TRUE(Timer());
}

TEST_F(FrmMainTest, DoubleClickOutsideTheArrayIsIgnored) {
  form.lblRelay_DblClick(8);
  form.lblRelay_DblClick(-1);
  form.CmdRelay_Click();
  EXPECT_EQ(card.calls.back(), "outportb(256,0)");
}

}  // namespace
}  // namespace wexmon::testing
