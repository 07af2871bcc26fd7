// Test doubles for the handlers: a window host that keeps captions, colours,
// timers and window states in maps and logs every operation, and a card that
// records calls and returns scripted results.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "card_functions.h"
#include "window_host.h"

namespace wexmon::testing {

class FakeHost final : public WindowHost {
 public:
  // The colour a label has before anyone sets one (the toolkit's default text colour).
  static constexpr ColorRef kDefaultTextColor = 0x000000;

  void SetCaption(WindowId window, std::string_view control, int index,
                  std::string_view text) override;
  ColorRef ForeColor(WindowId window, std::string_view control, int index) override;
  void SetForeColor(WindowId window, std::string_view control, int index, ColorRef color) override;
  void SetTimerEnabled(WindowId window, std::string_view timer, bool enabled) override;
  void LoadWindow(WindowId window) override;
  void ShowWindow(WindowId window) override;
  void HideWindow(WindowId window) override;
  void EndProgram() override;

  // Takes a window off the screen as its close button does; it keeps existing.
  void CloseByUser(WindowId window) { visible_[window] = false; }

  bool Exists(WindowId window) const { return created_.count(window) != 0; }
  bool Visible(WindowId window) const;
  std::string Caption(WindowId window, std::string_view control, int index = kNoIndex) const;
  ColorRef Color(WindowId window, std::string_view control, int index = kNoIndex) const;
  bool TimerEnabled(WindowId window, std::string_view timer) const;
  bool Ended() const { return ended_; }
  // "show FrmShow", "hide FrmShow", "create FrmShow", "timer Timer1 on", ...
  const std::vector<std::string>& Log() const { return log_; }

 private:
  using Key = std::tuple<WindowId, std::string, int>;
  void Ensure(WindowId window);

  std::map<WindowId, bool> created_;
  std::map<WindowId, bool> visible_;
  std::map<Key, std::string> captions_;
  std::map<Key, ColorRef> colors_;
  std::map<Key, bool> timers_;
  std::vector<std::string> log_;
  bool ended_ = false;
};

class FakeCard final : public CardFunctions {
 public:
  std::int32_t Initial(std::uint32_t comPort, std::int32_t missThreshold, std::int32_t baudRate,
                       std::int32_t reserved) override;
  std::int32_t StartSnapshot(std::uint32_t bufferCount, std::uint32_t rowsPerBuffer,
                             std::uint32_t useAddressTable, std::uint32_t channelCount,
                             std::int32_t periodSetting, std::int32_t reserved1,
                             std::int32_t reserved2, std::int32_t reserved3) override;
  std::int32_t StopIntr() override;
  std::int32_t GetSnapshot(void* destination, std::uint32_t rows, std::int32_t* reserved) override;
  void ConfigInfo(char* modelName, std::int32_t* channelLimit, std::int32_t* constant1,
                  std::int32_t* constant10a, std::int32_t* constant10b, float* halfSpan,
                  float* codeSpan, std::int32_t* constant0) override;
  void outportb(std::uint32_t port, std::uint32_t value) override;
  std::uint32_t inportb(std::uint32_t port) override;

  // Scripted behaviour.
  std::string model = "W316";  // written with its terminating zero
  std::int32_t initialResult = 1;
  std::int32_t startResult = 1;
  std::int32_t snapshotResult = 1;
  std::array<std::uint16_t, 8> newestRow{};  // older rows of the record hold 0xFFFF

  std::vector<std::string> calls;
  // Runs after each call is recorded, with its line.
  std::function<void(const std::string&)> onCall;
  // What ConfigInfo found in the model buffer when it was called.
  std::string modelBufferSeen;

 private:
  void Record(std::string line);
};

}  // namespace wexmon::testing
