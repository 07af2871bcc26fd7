// Cuts command lines out of the bytes read from standard input or the control
// FIFO, in bounded memory: a line longer than the limit is reported once, as
// soon as it passes the limit, and everything up to its newline is dropped, so
// that its tail is never taken for a command of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace w316sim {

struct CommandLine {
  std::string text;      // without the newline
  bool tooLong = false;  // text is empty: the line passed the limit and is dropped
};

class CommandLineSplitter {
 public:
  explicit CommandLineSplitter(std::size_t maxLength) : maxLength_(maxLength) {}

  // Appends the complete lines in `bytes` (and a report of each line that
  // passes the limit) to `out`; keeps the unfinished rest, at most maxLength bytes.
  void Feed(std::string_view bytes, std::vector<CommandLine>& out);

  // End of input: an unfinished last line is a line too.
  void Finish(std::vector<CommandLine>& out);

 private:
  std::size_t maxLength_;
  std::string pending_;
  bool dropping_ = false;  // inside a line that passed the limit
};

}  // namespace w316sim
