// The continuous run through the library's card interface: set-up, start,
// read-out of every complete buffer, stop. A refused call becomes a
// LibraryError that names the call, its code and what the code means.
#pragma once

#include <cstdint>
#include <functional>
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

constexpr unsigned kRowsPerBuffer = 5;  // the library's least: rows reach us soonest

class Acquisition {
 public:
  // Buffers for at least ten minutes of rows unless the options name a count.
  explicit Acquisition(const Options& options);
  ~Acquisition();  // stops a run still active
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // Initial, IOCtl (with --address), RegisterNotify on `notifyFd` (an
  // eventfd), StartIntr. Throws LibraryError.
  void Start(int notifyFd);

  // StopIntr; the complete buffers stay readable.
  void Stop();

  // Takes the complete buffers out with ADResult, oldest first, calling
  // `take(waitingBefore, buffer)` for each until it returns false; `buffer`
  // holds the head word and then the rows. Throws LibraryError.
  void TakeWaiting(const std::function<bool(unsigned, const std::vector<std::uint16_t>&)>& take);

  unsigned bufferCount() const { return bufferCount_; }
  unsigned channels() const { return channels_; }
  std::uint32_t bufferValues() const { return channels_ * kRowsPerBuffer; }

 private:
  const Options& options_;
  unsigned channels_;
  unsigned bufferCount_;
  bool running_ = false;
  std::vector<std::uint16_t> buffer_;
};

}  // namespace wexread
