// Loading the acquisition library and looking its functions up, behind a small
// interface so that the binding table needs no operating-system header. One
// implementation per system (dl_loader_posix.cpp, dl_loader_win32.cpp); the
// tests add counting and failing ones.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace wexmon {

// A function address as the loader hands it out; the table casts it back to
// the function's own type.
using RawFunction = void (*)();

class LibraryLoader {
 public:
  virtual ~LibraryLoader() = default;

  // The file this system loads for a library declared under `declaredFile`
  // ("wexlink.Dll" -> "libwexlink.so.1" on Linux).
  virtual std::string PlatformFileName(std::string_view declaredFile) const = 0;
  // The name this system looks up for a declared export ("_Initial@16" ->
  // "Initial" on Linux, unchanged on 32-bit Windows).
  virtual std::string PlatformSymbolName(std::string_view declaredName) const = 0;

  // Loads the library (a second load of the same file returns the same
  // handle). nullptr on failure, with a reason in `error`.
  virtual void* Load(const std::string& platformFile, std::string& error) = 0;
  // The function's address, or nullptr with a reason in `error`.
  virtual RawFunction Find(void* library, const std::string& platformName, std::string& error) = 0;
};

// Reports that the library or one of its functions cannot be reached and ends
// the program. Never returns (a test double may throw instead).
class FatalReporter {
 public:
  virtual ~FatalReporter() = default;
  [[noreturn]] virtual void Fatal(const std::string& message) = 0;
};

// Exit status of the program when the library cannot be loaded or bound.
inline constexpr int kLibraryFailureExitCode = 3;

// Undecorates a 32-bit Windows stdcall export name: "_Initial@16" -> "Initial".
// A name without that shape is returned unchanged.
std::string PlainExportName(std::string_view decorated);

// The loader of the system the program was built for.
std::unique_ptr<LibraryLoader> MakeSystemLoader();

}  // namespace wexmon
