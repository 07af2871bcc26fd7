// Reports that the library or a function of it cannot be reached, on standard
// error and, when wanted, in a message box, and ends the program with status 3.
#pragma once

#include <string>

#include "library_loader.h"

namespace wexmon {

class QtFatalReporter final : public FatalReporter {
 public:
  explicit QtFatalReporter(bool showDialog) : showDialog_(showDialog) {}
  [[noreturn]] void Fatal(const std::string& message) override;

 private:
  bool showDialog_;
};

// Whether a message box can be shown and answered: not on the offscreen and
// minimal platforms, where nobody could close it.
bool InteractivePlatform();

}  // namespace wexmon
