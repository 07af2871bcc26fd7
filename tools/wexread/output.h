// Where the rows and the status go: the data sink (standard output or an
// appended file), the status line on a terminal, and the metrics textfile.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <stdexcept>
#include <string>

namespace wexread {

class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Sink {
 public:
  // Standard output when `path` is empty; otherwise `path` opened for
  // appending (created 0644 less the umask), never through a symbolic link;
  // a FIFO without a reader is an error at once rather than a wait. A file
  // whose last line was cut off gets its newline before the first row.
  // Throws OutputError.
  Sink(const std::string& path, const volatile std::sig_atomic_t* stopSignal);
  ~Sink();
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  bool isNew() const { return isNew_; }  // a file that was empty or missing
  bool isTerminal() const { return isTerminal_; }

  // Opens the path anew (after a log rotation moved the file away) and writes
  // there from now on; false for standard output. Throws OutputError, and
  // then goes on writing to the file it had.
  bool Reopen();

  enum class Result { Written, ReaderGone, Interrupted };
  // Writes all of `text`, whole rows, at once (no buffering in between).
  // Interrupted when a stop signal came before any of it was written. A stop
  // signal after part of it was written leaves `finishTime` for the rest;
  // failing that, or on a write error, a regular file is cut back to its
  // last whole row (a pipe cannot be). Throws OutputError.
  Result Write(const std::string& text);

  static constexpr int kFinishMs = 2000;

 private:
  void OpenFile();  // path_, for appending; learns what the file holds

  int fd_ = 1;
#ifdef _WIN32
  void* handle_ = nullptr;  // the file or standard output (a HANDLE)
#endif
  bool ownsFd_ = false;
  bool isNew_ = true;
  bool isTerminal_ = false;
  bool isRegular_ = false;
  off_t wholeSize_ = 0;  // a regular file: its size after the last whole row
  std::string pending_;  // a newline for a file whose last line was cut off
  std::string name_;
  std::string path_;
  const volatile std::sig_atomic_t* stopSignal_;
};

// One line on standard error, rewritten in place; only on a terminal.
class StatusLine {
 public:
  explicit StatusLine(bool enabled);
  bool enabled() const { return enabled_; }
  void Show(const std::string& text);
  void Clear();   // before data goes to the same terminal
  void Finish();  // leaves the last status on its own line

 private:
  bool enabled_;
  std::string text_;
  bool shown_ = false;
};

// The metrics file for node_exporter's textfile collector: written to a new
// file beside it, then renamed over it, so that a reader sees one whole
// version or the other. Throws OutputError.
void WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace wexread
