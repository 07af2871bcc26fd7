// The library loader on POSIX systems: dlopen/dlsym.
//
// A shared object cannot carry the '@' of a stdcall-decorated name, so the
// library exports plain names here and the declared names are undecorated
// before the look-up. The file is searched for in this order:
//   1. WEXMON_LIBRARY, when set: exactly that path and nothing else;
//   2. the directory of the executable;
//   3. ../lib beside the executable's directory (installed and build-tree layout);
//   4. the dynamic linker's usual search (LD_LIBRARY_PATH, system directories).
// A process that runs with more privilege than its caller (setuid, setgid or
// file capabilities: AT_SECURE) must not run code the caller names: there
// WEXMON_LIBRARY is ignored with a warning and only 2 and 3 are searched.
#include <dlfcn.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "library_loader.h"
#include "wexlink.h"

namespace wexmon {
namespace {

std::filesystem::path ExecutableDirectory() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path();
}

std::string LastDlError() {
  const char* message = dlerror();
  return message != nullptr ? message : "unknown error";
}

class PosixLoader final : public LibraryLoader {
 public:
  std::string PlatformFileName(std::string_view declaredFile) const override {
    std::string stem(declaredFile);
    const std::size_t dot = stem.rfind('.');
    if (dot != std::string::npos) {
      std::string extension = stem.substr(dot);
      for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (extension == ".dll") stem.resize(dot);
    }
    // The runtime name (SONAME) of the card interface this program was built
    // against: a machine with only the runtime package has no libwexlink.so.
    return "lib" + stem + ".so." + std::to_string(WEXLINK_VERSION_MAJOR);
  }

  std::string PlatformSymbolName(std::string_view declaredName) const override {
    return PlainExportName(declaredName);
  }

  void* Load(const std::string& platformFile, std::string& error) override {
    if (auto found = loaded_.find(platformFile); found != loaded_.end()) return found->second;
    void* handle = Open(platformFile, error);
    if (handle != nullptr) loaded_[platformFile] = handle;
    return handle;
  }

  RawFunction Find(void* library, const std::string& platformName, std::string& error) override {
    dlerror();
    void* address = dlsym(library, platformName.c_str());
    if (address == nullptr) {
      error = LastDlError();
      return nullptr;
    }
    RawFunction function = nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&function, &address, sizeof function);
    return function;
  }

 private:
  static void* Open(const std::string& platformFile, std::string& error) {
    const bool privileged = getauxval(AT_SECURE) != 0;
    if (const char* path = std::getenv("WEXMON_LIBRARY"); path != nullptr && *path != '\0') {
      if (privileged) {
        std::fputs("Wexmon: WEXMON_LIBRARY ignored: the program runs with elevated privileges\n",
                   stderr);
      } else {
        void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) error = LastDlError();
        return handle;
      }
    }
    const std::filesystem::path exeDir = ExecutableDirectory();
    if (!exeDir.empty()) {
      for (const std::filesystem::path& candidate :
           {exeDir / platformFile, exeDir.parent_path() / "lib" / platformFile}) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(candidate, ec)) continue;
        if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
        error = LastDlError();
        return nullptr;
      }
    }
    if (privileged) {
      error = platformFile + " not found beside the program or in ../lib from it";
      return nullptr;
    }
    void* handle = dlopen(platformFile.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) error = LastDlError();
    return handle;
  }

  // Handles stay open for the life of the program: the library's unload is
  // the process exit, which stops a run still active.
  std::map<std::string, void*> loaded_;
};

}  // namespace

std::unique_ptr<LibraryLoader> MakeSystemLoader() { return std::make_unique<PosixLoader>(); }

}  // namespace wexmon
