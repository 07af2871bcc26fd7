// The library loader on Windows: the declared file name ("wexlink.Dll") in the
// program's own folder, and nowhere else; LoadLibrary's own search would also
// take a file of that name from the current folder or from PATH. The 32-bit
// build binds the decorated export names as they stand, the 64-bit build the
// plain names. Built only for Windows targets.
#include <windows.h>

#include <map>

#include "library_loader.h"
#include "win32_text.h"

namespace wexmon {
namespace {

// "error 126 (The specified module could not be found.)"
std::string SystemErrorText(DWORD code) {
  std::string text = "error " + std::to_string(code);
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length != 0 && buffer != nullptr) {
    std::wstring message(buffer, length);
    while (!message.empty() &&
           (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
      message.pop_back();
    }
    if (!message.empty()) text += " (" + Narrow(message) + ")";
  }
  if (buffer != nullptr) LocalFree(buffer);
  return text;
}

std::wstring ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

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
    if (auto found = loaded_.find(platformFile); found != loaded_.end()) return found->second;
    const std::wstring path =
        ProgramFolder() + std::wstring(platformFile.begin(), platformFile.end());
    // The library's own imports are looked for beside it first.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
      error = Narrow(path) + ": " + SystemErrorText(GetLastError());
      return nullptr;
    }
    loaded_[platformFile] = module;
    return reinterpret_cast<void*>(module);
  }
  RawFunction Find(void* library, const std::string& platformName, std::string& error) override {
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), platformName.c_str());
    if (address == nullptr) {
      error = SystemErrorText(GetLastError());
      return nullptr;
    }
    return reinterpret_cast<RawFunction>(address);
  }

 private:
  // Loaded for the life of the program: the library's unload is the process
  // exit, which stops a run still active.
  std::map<std::string, HMODULE> loaded_;
};

}  // namespace

std::unique_ptr<LibraryLoader> MakeSystemLoader() { return std::make_unique<Win32Loader>(); }

}  // namespace wexmon
