// The library loader on Windows: LoadLibraryA/GetProcAddress with the declared
// file name and the decorated export names as they stand. Built only for
// Windows targets.
#include <windows.h>

#include <cstring>

#include "library_loader.h"

namespace wexmon {
namespace {

std::string LastErrorText() { return "error " + std::to_string(GetLastError()); }

class Win32Loader final : public LibraryLoader {
 public:
  std::string PlatformFileName(std::string_view declaredFile) const override {
    return std::string(declaredFile);
  }
  std::string PlatformSymbolName(std::string_view declaredName) const override {
#if defined(_WIN64)
    return PlainExportName(declaredName);
#else
    return std::string(declaredName);
#endif
  }
  void* Load(const std::string& platformFile, std::string& error) override {
    HMODULE module = LoadLibraryA(platformFile.c_str());
    if (module == nullptr) error = LastErrorText();
    return reinterpret_cast<void*>(module);
  }
  RawFunction Find(void* library, const std::string& platformName, std::string& error) override {
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), platformName.c_str());
    if (address == nullptr) {
      error = LastErrorText();
      return nullptr;
    }
    return reinterpret_cast<RawFunction>(address);
  }
};

}  // namespace

std::unique_ptr<LibraryLoader> MakeSystemLoader() { return std::make_unique<Win32Loader>(); }

}  // namespace wexmon
