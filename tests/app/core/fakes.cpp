#include "fakes.h"

#include <cstring>
#include <stdexcept>

namespace wexmon::testing {
namespace {

const char* Name(WindowId window) { return window == WindowId::FrmMain ? "FrmMain" : "FrmShow"; }

}  // namespace

void FakeHost::Ensure(WindowId window) {
  if (Exists(window)) return;
  created_[window] = true;
  visible_[window] = false;
  log_.push_back(std::string("create ") + Name(window));
  for (const ControlDef& def : WindowDefinition(window).controls) {
    const Key key{window, std::string(def.name), def.index};
    if (def.kind == ControlKind::Timer) {
      timers_[key] = def.enabled;
    } else {
      captions_[key] = std::string(def.caption);
      colors_[key] = def.foreColor.value_or(kDefaultTextColor);
    }
  }
}

void FakeHost::SetCaption(WindowId window, std::string_view control, int index,
                          std::string_view text) {
  Ensure(window);
  const Key key{window, std::string(control), index};
  if (captions_.count(key) == 0) throw std::logic_error("no control " + std::string(control));
  captions_[key] = std::string(text);
}

ColorRef FakeHost::ForeColor(WindowId window, std::string_view control, int index) {
  Ensure(window);
  return colors_.at(Key{window, std::string(control), index});
}

void FakeHost::SetForeColor(WindowId window, std::string_view control, int index, ColorRef color) {
  Ensure(window);
  colors_.at(Key{window, std::string(control), index}) = color;
}

void FakeHost::SetTimerEnabled(WindowId window, std::string_view timer, bool enabled) {
  Ensure(window);
  timers_.at(Key{window, std::string(timer), kNoIndex}) = enabled;
  log_.push_back("timer " + std::string(timer) + (enabled ? " on" : " off"));
}

void FakeHost::LoadWindow(WindowId window) { Ensure(window); }

void FakeHost::ShowWindow(WindowId window) {
  Ensure(window);
  visible_[window] = true;
  log_.push_back(std::string("show ") + Name(window));
}

void FakeHost::HideWindow(WindowId window) {
  if (!Exists(window)) return;
  visible_[window] = false;
  log_.push_back(std::string("hide ") + Name(window));
}

void FakeHost::EndProgram() {
  ended_ = true;
  log_.push_back("end");
}

bool FakeHost::Visible(WindowId window) const {
  auto found = visible_.find(window);
  return found != visible_.end() && found->second;
}

std::string FakeHost::Caption(WindowId window, std::string_view control, int index) const {
  return captions_.at(Key{window, std::string(control), index});
}

ColorRef FakeHost::Color(WindowId window, std::string_view control, int index) const {
  return colors_.at(Key{window, std::string(control), index});
}

bool FakeHost::TimerEnabled(WindowId window, std::string_view timer) const {
  return timers_.at(Key{window, std::string(timer), kNoIndex});
}

void FakeCard::Record(std::string line) {
  calls.push_back(line);
  if (onCall) onCall(line);
}

std::int32_t FakeCard::Initial(std::uint32_t comPort, std::int32_t missThreshold,
                               std::int32_t baudRate, std::int32_t reserved) {
  Record("Initial(" + std::to_string(comPort) + "," + std::to_string(missThreshold) + "," +
         std::to_string(baudRate) + "," + std::to_string(reserved) + ")");
  return initialResult;
}

std::int32_t FakeCard::StartSnapshot(std::uint32_t bufferCount, std::uint32_t rowsPerBuffer,
                                     std::uint32_t useAddressTable, std::uint32_t channelCount,
                                     std::int32_t periodSetting, std::int32_t reserved1,
                                     std::int32_t reserved2, std::int32_t reserved3) {
  Record("StartSnapshot(" + std::to_string(bufferCount) + "," + std::to_string(rowsPerBuffer) +
         "," + std::to_string(useAddressTable) + "," + std::to_string(channelCount) + "," +
         std::to_string(periodSetting) + "," + std::to_string(reserved1) + "," +
         std::to_string(reserved2) + "," + std::to_string(reserved3) + ")");
  return startResult;
}

std::int32_t FakeCard::StopIntr() {
  Record("StopIntr()");
  return 1;
}

std::int32_t FakeCard::GetSnapshot(void* destination, std::uint32_t rows, std::int32_t* reserved) {
  Record("GetSnapshot(" + std::to_string(rows) + "," +
         std::to_string(reserved != nullptr ? *reserved : -1) + ")");
  if (snapshotResult == 0) return 0;
  auto* out = static_cast<unsigned char*>(destination);
  auto put16 = [&out](std::uint16_t v) {
    std::memcpy(out, &v, 2);  // little-endian host
    out += 2;
  };
  put16(7);
  for (std::uint32_t row = 0; row < rows; ++row) {
    for (std::uint16_t value : newestRow) put16(row + 1 == rows ? value : 0xFFFF);
  }
  const std::int32_t position = 9;
  std::memcpy(out, &position, 4);
  return snapshotResult;
}

void FakeCard::ConfigInfo(char* modelName, std::int32_t* channelLimit, std::int32_t* constant1,
                          std::int32_t* constant10a, std::int32_t* constant10b, float* halfSpan,
                          float* codeSpan, std::int32_t* constant0) {
  Record("ConfigInfo()");
  modelBufferSeen.assign(modelName, 33);
  std::memcpy(modelName, model.c_str(), model.size() + 1);
  *channelLimit = 256;
  *constant1 = 1;
  *constant10a = 10;
  *constant10b = 10;
  *halfSpan = 32768.0f;
  *codeSpan = 65536.0f;
  *constant0 = 0;
}

void FakeCard::outportb(std::uint32_t port, std::uint32_t value) {
  Record("outportb(" + std::to_string(port) + "," + std::to_string(value) + ")");
}

std::uint32_t FakeCard::inportb(std::uint32_t port) {
  Record("inportb(" + std::to_string(port) + ")");
  return 0;
}

}  // namespace wexmon::testing
