// The run through the library's card interface: set-up, start, read-out of
// the snapshot ring, stop. A refused call becomes a
// LibraryError that names the call, its code and what the code means.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"

namespace wexread {

class LibraryError : public std::runtime_error {
 public:
  LibraryError(const std::string& call, int code);
  explicit LibraryError(const std::string& message) : std::runtime_error(message), code_(0) {}
  int code() const { return code_; }

 private:
  int code_;
};

// "the serial port could not be opened" for 106, and so on.
std::string ErrorMeaning(int code);

// A snapshot run: the library stores every row in one ring, which is read
// whole with GetSnapshot as often as wanted; the record says which rows are
// in it (see RingRows).
class Acquisition {
 public:
  // A ring for about ten minutes of rows (at least 16), or 5 x --buffers.
  explicit Acquisition(const Options& options);
  ~Acquisition();  // stops a run still active
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // Initial, IOCtl (with --address), StartSnapshot. Throws LibraryError.
  void Start();

  // StopIntr. Throws LibraryError.
  void Stop();

  // GetSnapshot of the whole ring: one consistent state of it.
  struct Record {
    std::uint16_t pass;
    std::int32_t newestPosition;
  };
  Record Read();
  // Row `index` (0: the oldest) of the record last read.
  const std::uint16_t* RecordRow(std::uint32_t index) const {
    return record_.data() + 1 + std::size_t{index} * channels_;
  }

  unsigned channels() const { return channels_; }
  std::uint32_t ringRows() const { return ringRows_; }
  bool running() const { return running_; }

 private:
  const Options& options_;
  unsigned channels_;
  std::uint32_t ringRows_;
  bool running_ = false;
  std::vector<std::uint16_t> record_;  // pass count, rows, position (two words)
};

}  // namespace wexread
