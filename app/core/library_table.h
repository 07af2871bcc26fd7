// The program's table of library functions. Each entry holds the library's
// file name, the function's exported name and a slot for its address, empty at
// start. The first call through an entry loads the library by its file name,
// looks the name up and keeps the address; later calls go straight to it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "card_functions.h"
#include "library_loader.h"

namespace wexmon {

struct LibraryEntry {
  std::string_view fileName;
  std::string_view exportName;
  RawFunction address = nullptr;
};

inline constexpr std::string_view kLibraryFile = "wexlink.Dll";

class LibraryTable final : public CardFunctions {
 public:
  enum Slot : std::size_t {
    kInitial,
    kStartSnapshot,
    kStopIntr,
    kGetSnapshot,
    kConfigInfo,
    kOutportb,
    kInportb,
    kSlotCount
  };

  LibraryTable(LibraryLoader& loader, FatalReporter& reporter);

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

  const LibraryEntry& Entry(Slot slot) const { return entries_[slot]; }

  // The library's last-error code, for diagnostics only. GetLastADError is not
  // one of the declared functions: it is bound apart from the table, and a
  // library or function that cannot be reached gives an empty result instead
  // of ending the program.
  std::optional<std::int32_t> LastErrorCode();

 private:
  template <typename Function>
  Function Bound(Slot slot) {
    return reinterpret_cast<Function>(Address(slot));
  }
  RawFunction Address(Slot slot);

  LibraryLoader& loader_;
  FatalReporter& reporter_;
  std::array<LibraryEntry, kSlotCount> entries_;
  RawFunction lastError_ = nullptr;
};

}  // namespace wexmon
