// A recording stand-in for the acquisition library: the seven functions that
// Wexmon binds, under the library's plain export names, and the control
// functions of fake_wexlink_control.h. Built twice: complete, and without
// StartSnapshot (FAKE_WEXLINK_WITHOUT_START_SNAPSHOT) to test a missing name.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fake_wexlink_control.h"
#include "wexlink.h"

namespace {

constexpr int kChannels = 8;

struct FakeState {
  std::string model = "W316";
  int32_t initialResult = 1;
  int32_t startResult = 1;
  int32_t snapshotResult = 1;
  std::array<uint16_t, kChannels> values{};
  uint16_t passes = 0;
  std::vector<std::string> calls;
};

FakeState& State() {
  static FakeState state = [] {
    FakeState s;
    if (const char* model = std::getenv("FAKE_WEXLINK_MODEL")) s.model = model;
    if (const char* values = std::getenv("FAKE_WEXLINK_VALUES")) {
      std::istringstream in(values);
      std::string item;
      for (int i = 0; i < kChannels && std::getline(in, item, ','); ++i) {
        s.values[static_cast<std::size_t>(i)] = static_cast<uint16_t>(std::stoul(item));
      }
    }
    return s;
  }();
  return state;
}

template <typename... Args>
void Record(const char* function, Args... args) {
  std::string line = function;
  line += '(';
  bool first = true;
  ((line += (first ? "" : ","), line += std::to_string(args), first = false), ...);
  (void)first;
  line += ')';
  State().calls.push_back(line);
  if (const char* path = std::getenv("FAKE_WEXLINK_LOG")) {
    if (std::FILE* log = std::fopen(path, "a")) {
      std::fprintf(log, "%s\n", line.c_str());
      std::fclose(log);
    }
  }
}

}  // namespace

extern "C" {

int32_t Initial(uint32_t comPort, int32_t missThreshold, int32_t baudRate, int32_t reserved) {
  Record("Initial", comPort, missThreshold, baudRate, reserved);
  return State().initialResult;
}

#ifndef FAKE_WEXLINK_WITHOUT_START_SNAPSHOT
int32_t StartSnapshot(uint32_t ignored, uint32_t rowsPerBuffer, uint32_t useAddressTable,
                      uint32_t channelCount, int32_t periodSetting, int32_t reserved1,
                      int32_t reserved2, int32_t reserved3) {
  Record("StartSnapshot", ignored, rowsPerBuffer, useAddressTable, channelCount, periodSetting,
         reserved1, reserved2, reserved3);
  return State().startResult;
}
#endif

int32_t StopIntr(void) {
  Record("StopIntr");
  return 1;
}

// Writes the record of a snapshot run of 8 channels: the pass count, `rows`
// rows of which the newest (last) holds the scripted values and the older ones
// 0xFFFF, and the row position of the newest row.
int32_t GetSnapshot(void* destination, uint32_t rows, int32_t* reserved) {
  Record("GetSnapshot", rows, reserved != nullptr ? *reserved : -1);
  FakeState& s = State();
  if (s.snapshotResult == 0) return 0;
  auto* out = static_cast<unsigned char*>(destination);
  auto put16 = [&out](uint16_t v) {
    out[0] = static_cast<unsigned char>(v & 0xFF);
    out[1] = static_cast<unsigned char>(v >> 8);
    out += 2;
  };
  put16(++s.passes);
  for (uint32_t row = 0; row < rows; ++row) {
    for (int ch = 0; ch < kChannels; ++ch) {
      put16(row + 1 == rows ? s.values[static_cast<std::size_t>(ch)] : 0xFFFF);
    }
  }
  const int32_t position = static_cast<int32_t>(rows) - 1;
  std::memcpy(out, &position, sizeof position);
  return s.snapshotResult;
}

void ConfigInfo(char* modelName, int32_t* channelLimit, int32_t* constant1, int32_t* constant10a,
                int32_t* constant10b, float* halfSpan, float* codeSpan, int32_t* constant0) {
  Record("ConfigInfo");
  std::memcpy(modelName, State().model.c_str(), State().model.size() + 1);
  *channelLimit = 256;
  *constant1 = 1;
  *constant10a = 10;
  *constant10b = 10;
  *halfSpan = 32768.0f;
  *codeSpan = 65536.0f;
  *constant0 = 0;
}

void outportb(uint32_t port, uint32_t value) { Record("outportb", port, value); }

uint32_t inportb(uint32_t port) {
  Record("inportb", port);
  return 0;
}

void FakeWexlink_Reset(void) { State() = FakeState{}; }

void FakeWexlink_SetModelName(const char* name) { State().model = name; }

void FakeWexlink_SetResults(int32_t initial, int32_t startSnapshot, int32_t getSnapshot) {
  State().initialResult = initial;
  State().startResult = startSnapshot;
  State().snapshotResult = getSnapshot;
}

void FakeWexlink_SetChannelValues(const uint16_t values[8]) {
  std::memcpy(State().values.data(), values, sizeof(uint16_t) * kChannels);
}

int32_t FakeWexlink_CallCount(void) { return static_cast<int32_t>(State().calls.size()); }

const char* FakeWexlink_Call(int32_t index) {
  const auto& calls = State().calls;
  if (index < 0 || static_cast<std::size_t>(index) >= calls.size()) return "";
  return calls[static_cast<std::size_t>(index)].c_str();
}

}  // extern "C"
