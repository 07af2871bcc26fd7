// The outputs on Windows: the rows through WriteFile on standard output or a
// file opened for appending, never through a symbolic link; the metrics file
// written beside its name and moved over it.
#include <windows.h>

#include <algorithm>

#include "output.h"
#include "win32_text.h"

namespace wexread {
namespace {

std::string SystemError(const std::string& what, DWORD code = GetLastError()) {
  return what + ": " + ErrorText(code);
}

// Writes everything; false with the error in GetLastError() on failure.
// `written` counts the bytes that went out.
bool WriteAll(HANDLE h, const char* data, std::size_t size, std::size_t* written = nullptr) {
  std::size_t done = 0;
  bool ok = true;
  while (done < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
    DWORD n = 0;
    if (!WriteFile(h, data + done, chunk, &n, nullptr)) {
      ok = false;
      break;
    }
    done += n;
  }
  if (written != nullptr) *written = done;
  return ok;
}

}  // namespace

Sink::Sink(const std::string& path, const volatile std::sig_atomic_t* stopSignal)
    : stopSignal_(stopSignal) {
  if (path.empty()) {
    name_ = "standard output";
    handle_ = GetStdHandle(STD_OUTPUT_HANDLE);
    isTerminal_ = GetFileType(handle_) == FILE_TYPE_CHAR;
    return;
  }
  name_ = path;
  path_ = path;
  OpenFile();
  ownsFd_ = true;
}

// Opens path_ for appending rows and learns what the file holds.
void Sink::OpenFile() {
  const std::string& path = path_;
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link itself rather than its
  // target: a link planted under the name is refused, not followed.
  const HANDLE h =
      CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw OutputError(SystemError(path));
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(h);
    throw OutputError(path + ": a symbolic link; name the file itself");
  }
  handle_ = h;
  isRegular_ = false;
  isNew_ = true;
  wholeSize_ = 0;
  pending_.clear();
  LARGE_INTEGER size{};
  if (GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size)) {
    isRegular_ = true;
    isNew_ = size.QuadPart == 0;
    wholeSize_ = static_cast<off_t>(size.QuadPart);
    // A run that ended on a full disk or a crash may have left a cut-off
    // line: the first row starts on a line of its own.
    char last = '\n';
    DWORD n = 0;
    LARGE_INTEGER at{};
    at.QuadPart = size.QuadPart - 1;
    if (size.QuadPart > 0 && SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
        ReadFile(h, &last, 1, &n, nullptr) && n == 1 && last != '\n')
      pending_.push_back('\n');
  }
  isTerminal_ = GetFileType(h) == FILE_TYPE_CHAR;
}

bool Sink::Reopen() {
  if (!ownsFd_) return false;
  void* const old = handle_;
  const bool regular = isRegular_, isNew = isNew_, terminal = isTerminal_;
  const off_t wholeSize = wholeSize_;
  std::string pending = pending_;
  try {
    OpenFile();
  } catch (...) {
    handle_ = old;
    isRegular_ = regular;
    isNew_ = isNew;
    isTerminal_ = terminal;
    wholeSize_ = wholeSize;
    pending_ = std::move(pending);
    throw;
  }
  CloseHandle(old);
  return true;
}

Sink::~Sink() {
  if (ownsFd_) CloseHandle(handle_);
}

Sink::Result Sink::Write(const std::string& text) {
  // A stop before anything of the rows went out writes nothing; once begun,
  // a write to a file or a console finishes.
  if (stopSignal_ != nullptr && *stopSignal_ != 0) return Result::Interrupted;
  const std::string* out = &text;
  std::string joined;
  if (!pending_.empty()) {
    joined = pending_ + text;
    out = &joined;
  }
  if (isRegular_) {
    LARGE_INTEGER end{};
    end.QuadPart = wholeSize_;
    SetFilePointerEx(handle_, end, nullptr, FILE_BEGIN);
  }
  std::size_t written = 0;
  if (WriteAll(handle_, out->data(), out->size(), &written)) {
    pending_.clear();
    wholeSize_ += static_cast<off_t>(out->size());
    return Result::Written;
  }
  const DWORD error = GetLastError();
  // Part of a row: a file goes back to its last whole row.
  if (written != 0 && isRegular_) {
    LARGE_INTEGER whole{};
    whole.QuadPart = wholeSize_;
    if (SetFilePointerEx(handle_, whole, nullptr, FILE_BEGIN)) SetEndOfFile(handle_);
  }
  if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) return Result::ReaderGone;
  throw OutputError(SystemError("writing " + name_, error));
}

StatusLine::StatusLine(bool enabled) : enabled_(enabled) {
  // The status line clears itself with an escape sequence: the console must
  // interpret it (Windows 10 and later do when asked).
  const HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (enabled_ && GetConsoleMode(h, &mode))
    SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void StatusLine::Show(const std::string& text) {
  if (!enabled_) return;
  text_ = "\r" + text + "\x1b[K";
  WriteAll(GetStdHandle(STD_ERROR_HANDLE), text_.data(), text_.size());
  shown_ = true;
}

void StatusLine::Clear() {
  if (!enabled_ || !shown_) return;
  static const char kClear[] = "\r\x1b[K";
  WriteAll(GetStdHandle(STD_ERROR_HANDLE), kClear, sizeof kClear - 1);
  shown_ = false;
}

void StatusLine::Finish() {
  if (!enabled_ || text_.empty()) return;
  const HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  if (!shown_) WriteAll(h, text_.data(), text_.size());
  WriteAll(h, "\n", 1);
  shown_ = false;
}

void WriteFileAtomically(const std::string& path, const std::string& content) {
  const auto slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // Hidden and not ending in .prom: a collector never reads a half-written one.
  const std::string temporary =
      folder + "." + base + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
  const std::wstring wideTemporary = Wide(temporary);
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 2 && h == INVALID_HANDLE_VALUE; ++attempt) {
    h = CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && attempt == 0)
      DeleteFileW(wideTemporary.c_str());
  }
  if (h == INVALID_HANDLE_VALUE)
    throw OutputError(SystemError(path + " (writing " + temporary + ")"));
  const bool written = WriteAll(h, content.data(), content.size()) && FlushFileBuffers(h);
  const DWORD error = GetLastError();
  if (!CloseHandle(h) || !written) {
    const std::string message =
        SystemError("writing " + temporary, written ? GetLastError() : error);
    DeleteFileW(wideTemporary.c_str());
    throw OutputError(message);
  }
  if (!MoveFileExW(wideTemporary.c_str(), Wide(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::string message = SystemError("renaming " + temporary + " to " + path);
    DeleteFileW(wideTemporary.c_str());
    throw OutputError(message);
  }
}

}  // namespace wexread
