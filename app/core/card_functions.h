// The seven functions of the acquisition library that the program declares,
// as an interface: LibraryTable binds them from the shared library at their
// first call; the handler tests put a recording fake in its place. Argument
// types are those of the library's header.
#pragma once

#include <cstdint>

namespace wexmon {

class CardFunctions {
 public:
  virtual ~CardFunctions() = default;
  virtual std::int32_t Initial(std::uint32_t comPort, std::int32_t missThreshold,
                               std::int32_t baudRate, std::int32_t reserved) = 0;
  virtual std::int32_t StartSnapshot(std::uint32_t bufferCount, std::uint32_t rowsPerBuffer,
                                     std::uint32_t useAddressTable, std::uint32_t channelCount,
                                     std::int32_t periodSetting, std::int32_t reserved1,
                                     std::int32_t reserved2, std::int32_t reserved3) = 0;
  virtual std::int32_t StopIntr() = 0;
  virtual std::int32_t GetSnapshot(void* destination, std::uint32_t rows,
                                   std::int32_t* reserved) = 0;
  virtual void ConfigInfo(char* modelName, std::int32_t* channelLimit, std::int32_t* constant1,
                          std::int32_t* constant10a, std::int32_t* constant10b, float* halfSpan,
                          float* codeSpan, std::int32_t* constant0) = 0;
  virtual void outportb(std::uint32_t port, std::uint32_t value) = 0;
  virtual std::uint32_t inportb(std::uint32_t port) = 0;
};

}  // namespace wexmon
