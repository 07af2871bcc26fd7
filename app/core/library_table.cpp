#include "library_table.h"

#include <cstdlib>
#include <string>

#include "wexlink.h"

namespace wexmon {
namespace {

// The library's own declarations give each entry its exact type, calling
// convention included.
using InitialFn = decltype(&::Initial);
using StartSnapshotFn = decltype(&::StartSnapshot);
using StopIntrFn = decltype(&::StopIntr);
using GetSnapshotFn = decltype(&::GetSnapshot);
using ConfigInfoFn = decltype(&::ConfigInfo);
using OutportbFn = decltype(&::outportb);
using InportbFn = decltype(&::inportb);
using GetLastADErrorFn = decltype(&::GetLastADError);

}  // namespace

std::string PlainExportName(std::string_view decorated) {
  const std::size_t at = decorated.rfind('@');
  if (decorated.size() < 3 || decorated.front() != '_' || at == std::string_view::npos || at < 2 ||
      at + 1 == decorated.size()) {
    return std::string(decorated);
  }
  for (std::size_t i = at + 1; i < decorated.size(); ++i) {
    if (decorated[i] < '0' || decorated[i] > '9') return std::string(decorated);
  }
  return std::string(decorated.substr(1, at - 1));
}

LibraryTable::LibraryTable(LibraryLoader& loader, FatalReporter& reporter)
    : loader_(loader),
      reporter_(reporter),
      entries_{{
          {kLibraryFile, "_Initial@16"},
          {kLibraryFile, "_StartSnapshot@32"},
          {kLibraryFile, "_StopIntr@0"},
          {kLibraryFile, "_GetSnapshot@12"},
          {kLibraryFile, "_ConfigInfo@32"},
          {kLibraryFile, "_outportb@8"},
          {kLibraryFile, "_inportb@4"},
      }} {}

RawFunction LibraryTable::Address(Slot slot) {
  LibraryEntry& entry = entries_[slot];
  if (entry.address != nullptr) return entry.address;

  const std::string file = loader_.PlatformFileName(entry.fileName);
  std::string error;
  void* library = loader_.Load(file, error);
  if (library == nullptr) {
    reporter_.Fatal("Wexmon: cannot load the library " + file +
                    (error.empty() ? std::string() : ": " + error));
  }
  const std::string name = loader_.PlatformSymbolName(entry.exportName);
  RawFunction address = loader_.Find(library, name, error);
  if (address == nullptr) {
    std::string message = "Wexmon: the function " + name;
    if (name != entry.exportName) message += " (" + std::string(entry.exportName) + ")";
    message += " is not in the library " + file;
    if (!error.empty()) message += ": " + error;
    reporter_.Fatal(message);
  }
  entry.address = address;
  return address;
}

std::int32_t LibraryTable::Initial(std::uint32_t comPort, std::int32_t missThreshold,
                                   std::int32_t baudRate, std::int32_t reserved) {
  return Bound<InitialFn>(kInitial)(comPort, missThreshold, baudRate, reserved);
}

std::int32_t LibraryTable::StartSnapshot(std::uint32_t bufferCount, std::uint32_t rowsPerBuffer,
                                         std::uint32_t useAddressTable, std::uint32_t channelCount,
                                         std::int32_t periodSetting, std::int32_t reserved1,
                                         std::int32_t reserved2, std::int32_t reserved3) {
  return Bound<StartSnapshotFn>(kStartSnapshot)(bufferCount, rowsPerBuffer, useAddressTable,
                                                channelCount, periodSetting, reserved1, reserved2,
                                                reserved3);
}

std::int32_t LibraryTable::StopIntr() { return Bound<StopIntrFn>(kStopIntr)(); }

std::int32_t LibraryTable::GetSnapshot(void* destination, std::uint32_t rows,
                                       std::int32_t* reserved) {
  return Bound<GetSnapshotFn>(kGetSnapshot)(destination, rows, reserved);
}

void LibraryTable::ConfigInfo(char* modelName, std::int32_t* channelLimit, std::int32_t* constant1,
                              std::int32_t* constant10a, std::int32_t* constant10b, float* halfSpan,
                              float* codeSpan, std::int32_t* constant0) {
  Bound<ConfigInfoFn>(kConfigInfo)(modelName, channelLimit, constant1, constant10a, constant10b,
                                   halfSpan, codeSpan, constant0);
}

void LibraryTable::outportb(std::uint32_t port, std::uint32_t value) {
  Bound<OutportbFn>(kOutportb)(port, value);
}

std::uint32_t LibraryTable::inportb(std::uint32_t port) { return Bound<InportbFn>(kInportb)(port); }

std::optional<std::int32_t> LibraryTable::LastErrorCode() {
  if (lastError_ == nullptr) {
    std::string error;
    void* library = loader_.Load(loader_.PlatformFileName(kLibraryFile), error);
    if (library == nullptr) return std::nullopt;
    lastError_ = loader_.Find(library, loader_.PlatformSymbolName("_GetLastADError@0"), error);
    if (lastError_ == nullptr) return std::nullopt;
  }
  return reinterpret_cast<GetLastADErrorFn>(lastError_)();
}

}  // namespace wexmon
