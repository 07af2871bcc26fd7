#include "frm_main.h"

#include <algorithm>
#include <utility>

#include "module1.h"
#include "temperature.h"
#include "texts.h"

namespace wexmon {
namespace {

constexpr WindowId kMain = WindowId::FrmMain;
constexpr WindowId kShow = WindowId::FrmShow;
constexpr int kRelayCount = 8;

ColorRef Toggled(ColorRef color) { return color == kRed ? kGreen : kRed; }

}  // namespace

FrmMain::FrmMain(WindowHost& host, CardFunctions& card, std::string decimalSeparator,
                 StartFailureReport* startFailures)
    : host_(host),
      card_(card),
      decimalSeparator_(std::move(decimalSeparator)),
      startFailures_(startFailures) {}

void FrmMain::SetStatus(std::string_view text) {
  host_.SetCaption(kMain, "Label1", kNoIndex, text);
}

void FrmMain::StartFailed(std::string_view warning, StartStep step) {
  SetStatus(warning);
  if (startFailures_ != nullptr) startFailures_->StartFailed(step);
}

void FrmMain::Form_Load() {
  state_.Running = 0;
  state_.ComPort = comPort_;
  state_.NumChannels = kDisplayChannels;
  state_.RelayPort = 256;
  state_.RelayData = 0;
  state_.SnapBuf.fill(0);

  // The indicators come with the toolkit's default text colour, so toggling
  // each one leaves all eight red: every relay shown open.
  for (int i = 0; i < kRelayCount; ++i) {
    host_.SetForeColor(kMain, "lblRelay", i, Toggled(host_.ForeColor(kMain, "lblRelay", i)));
  }
}

void FrmMain::Form_Unload() { card_.StopIntr(); }

void FrmMain::CmdStart_Click() {
  // The display window comes up on every press, also when the press stops a
  // run or a start step fails.
  host_.ShowWindow(kShow);

  if (state_.Running == 1) {
    state_.Running = 0;
    host_.SetCaption(kMain, "CmdStart", kNoIndex, text::kStart);
    host_.SetTimerEnabled(kMain, "Timer1", false);
    card_.StopIntr();
    SetStatus(text::kStopped);
    host_.HideWindow(kShow);
    return;
  }

  if (!CheckDriver(card_)) {
    StartFailed(text::kBadDriver, StartStep::DriverCheck);
    return;
  }
  if (InitDriver(card_, state_.ComPort) == 0) {
    StartFailed(text::kInitError, StartStep::Initial);
    return;
  }
  if (StartAcquisition(card_, state_.NumChannels) == 0) {
    StartFailed(text::kStartError, StartStep::StartSnapshot);
    return;
  }
  state_.Running = 1;
  host_.SetTimerEnabled(kMain, "Timer1", true);
  SetStatus(text::kStarted);
  host_.SetCaption(kMain, "CmdStart", kNoIndex, text::kStop);
}

void FrmMain::CmdExit_Click() {
  if (state_.Running == 1) CmdStart_Click();
  host_.EndProgram();
}

void FrmMain::Timer1_Timer() {
  if (state_.Running == 0) return;

  std::int32_t scratch = 0;
  if (card_.GetSnapshot(state_.SnapBuf.data(), kSnapshotRowsRead, &scratch) == 0) {
    SetStatus(text::kSnapshotFailed);
    return;
  }

  // The newest row is the last of the record; SnapBuf has room for no more
  // than eight channels per row.
  const int channels = std::clamp<int>(state_.NumChannels, 0, kDisplayChannels);
  const std::size_t newestRow = (kSnapshotRowsRead - 1) * static_cast<std::size_t>(channels) + 1;
  std::array<std::string, kDisplayChannels + 1> tempText;
  for (int i = 0; i < channels; ++i) {
    const auto value =
        static_cast<std::uint16_t>(state_.SnapBuf[newestRow + static_cast<std::size_t>(i)]);
    tempText[static_cast<std::size_t>(i)] = TemperatureText(value, decimalSeparator_);
  }

  auto line = [&](std::string_view prefix, std::size_t first) {
    std::string result(prefix);
    for (std::size_t i = first; i < first + 4; ++i) {
      if (i != first) result += text::kJoin;
      result += tempText[i];
    }
    return result;
  };
  SetStatus(line(text::kLine1Prefix, 0));
  host_.SetCaption(kMain, "Label2", kNoIndex, line(text::kLine2Prefix, 4));

  host_.LoadWindow(kShow);
  for (int j = 0; j < kDisplayChannels; ++j) {
    host_.SetCaption(kShow, "lblTemp", j, tempText[static_cast<std::size_t>(j)]);
  }
}

void FrmMain::lblRelay_DblClick(std::int16_t index) {
  if (index < 0 || index >= kRelayCount) return;
  host_.SetForeColor(kMain, "lblRelay", index, Toggled(host_.ForeColor(kMain, "lblRelay", index)));
}

void FrmMain::CmdRelay_Click() {
  state_.RelayData = 0;
  for (int i = 0; i < kRelayCount; ++i) {
    if (host_.ForeColor(kMain, "lblRelay", i) == kGreen) {
      state_.RelayData = static_cast<std::int16_t>(state_.RelayData | (1 << i));
    }
  }
  card_.outportb(static_cast<std::uint16_t>(state_.RelayPort),
                 static_cast<std::uint16_t>(state_.RelayData));
  if (relayWarning_ != nullptr)
    relayWarning_->AfterWrite(static_cast<std::uint16_t>(state_.RelayPort));
}

}  // namespace wexmon
