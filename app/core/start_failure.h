// What a failed start leaves for the operator's support person. The window
// shows only the failed step's warning; this adds one line with the step and
// the library's last-error code and its meaning, written where the host keeps
// such lines (standard error, or the debugger output on Windows).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace wexmon {

class LibraryTable;

enum class StartStep { DriverCheck, Initial, StartSnapshot };

class StartFailureReport {
 public:
  virtual ~StartFailureReport() = default;
  virtual void StartFailed(StartStep step) = 0;
};

// The meaning of a last-error code as the library's header documents it.
std::string_view LibraryErrorMeaning(std::int32_t code);

// "Wexmon: start failed at Initial: library error 103 (port number 0 or baud
// rate below 10)". An empty code: the library could not say.
std::string StartFailureText(StartStep step, std::optional<std::int32_t> code);

// Reads the code through the binding table and hands the line to `write`.
class LoggedStartFailures final : public StartFailureReport {
 public:
  LoggedStartFailures(LibraryTable& library, std::function<void(const std::string&)> write)
      : library_(library), write_(std::move(write)) {}
  void StartFailed(StartStep step) override;

 private:
  LibraryTable& library_;
  std::function<void(const std::string&)> write_;
};

}  // namespace wexmon
