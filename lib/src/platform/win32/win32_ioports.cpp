#include "win32_ioports.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

// The six port instructions, each in a small function of its own, all between
// two labels: the exception handler steps over a refused instruction only
// there, and leaves every other fault alone.
extern "C" {
uint32_t wexlink_port_in8(uint32_t port) __asm__("wexlink_port_in8");
uint32_t wexlink_port_in16(uint32_t port) __asm__("wexlink_port_in16");
uint32_t wexlink_port_in32(uint32_t port) __asm__("wexlink_port_in32");
void wexlink_port_out8(uint32_t port, uint32_t value) __asm__("wexlink_port_out8");
void wexlink_port_out16(uint32_t port, uint32_t value) __asm__("wexlink_port_out16");
void wexlink_port_out32(uint32_t port, uint32_t value) __asm__("wexlink_port_out32");
extern const char wexlink_port_code_begin[] __asm__("wexlink_port_code_begin");
extern const char wexlink_port_code_end[] __asm__("wexlink_port_code_end");
}

#if defined(__x86_64__)
// Microsoft x64 convention: port in ecx, value in edx, result in eax.
#define WEXLINK_PORT_ARGUMENT "movl %ecx, %edx\n\t"
#define WEXLINK_VALUE_ARGUMENTS "movl %edx, %eax\n\tmovl %ecx, %edx\n\t"
#else
// cdecl: port at 4(%esp), value at 8(%esp), result in eax.
#define WEXLINK_PORT_ARGUMENT "movl 4(%esp), %edx\n\t"
#define WEXLINK_VALUE_ARGUMENTS "movl 8(%esp), %eax\n\tmovl 4(%esp), %edx\n\t"
#endif

__asm__(
    ".text\n"
    ".p2align 4\n"
    "wexlink_port_code_begin:\n"
    "wexlink_port_in8:\n\t" WEXLINK_PORT_ARGUMENT
    "xorl %eax, %eax\n\tinb %dx, %al\n\tret\n"
    "wexlink_port_in16:\n\t" WEXLINK_PORT_ARGUMENT
    "xorl %eax, %eax\n\tinw %dx, %ax\n\tret\n"
    "wexlink_port_in32:\n\t" WEXLINK_PORT_ARGUMENT
    "inl %dx, %eax\n\tret\n"
    "wexlink_port_out8:\n\t" WEXLINK_VALUE_ARGUMENTS
    "outb %al, %dx\n\tret\n"
    "wexlink_port_out16:\n\t" WEXLINK_VALUE_ARGUMENTS
    "outw %ax, %dx\n\tret\n"
    "wexlink_port_out32:\n\t" WEXLINK_VALUE_ARGUMENTS
    "outl %eax, %dx\n\tret\n"
    "wexlink_port_code_end:\n");

namespace wexlink::win32 {
namespace {

std::atomic<bool> g_portInstructionRefused{false};

// Runs first for every exception in the process. A privileged-instruction
// exception at one of the six port instructions is the port being refused:
// the instruction is stepped over (1 byte, or 2 with the operand-size prefix)
// and a read's register is set to all ones.
LONG CALLBACK StepOverRefusedPortInstruction(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_PRIV_INSTRUCTION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  CONTEXT& context = *exception->ContextRecord;
#if defined(__x86_64__)
  auto& ip = context.Rip;
  auto& accumulator = context.Rax;
#else
  auto& ip = context.Eip;
  auto& accumulator = context.Eax;
#endif
  const auto at = static_cast<uintptr_t>(ip);
  if (at < reinterpret_cast<uintptr_t>(wexlink_port_code_begin) ||
      at >= reinterpret_cast<uintptr_t>(wexlink_port_code_end)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const auto* code = reinterpret_cast<const uint8_t*>(at);
  const int length = code[0] == 0x66 ? 2 : 1;
  const uint8_t opcode = code[length - 1];
  if (opcode < 0xEC || opcode > 0xEF) return EXCEPTION_CONTINUE_SEARCH;
  if (opcode == 0xEC || opcode == 0xED) accumulator = 0xFFFFFFFFu;  // in
  ip += static_cast<std::remove_reference_t<decltype(ip)>>(length);
  g_portInstructionRefused.store(true);
  return EXCEPTION_CONTINUE_EXECUTION;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                      nullptr, nullptr);
  return result;
}

// One line for whoever looks: the debugger output, and standard error when
// the process has one (a console program, or any program under Wine).
void Diagnostic(const std::string& line) {
  const std::string text = "wexlink: " + line + "\n";
  std::wstring wide(text.size() + 1, L'\0');
  wide.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          static_cast<int>(wide.size()))));
  OutputDebugStringW(wide.c_str());
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

// A security descriptor that gives the current user, and nobody else, access
// to a file created with it. Not valid when the user cannot be found out.
class PrivateToUser {
 public:
  PrivateToUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    const BOOL gotUser =
        size != 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!gotUser) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
    acl_.resize((aclSize + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return;
    if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)) return;
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return;
    if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) return;
    // Nothing inherited from the folder widens it.
    SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    valid_ = true;
  }
  SECURITY_ATTRIBUTES* Attributes() { return valid_ ? &attributes_ : nullptr; }

 private:
  std::vector<DWORD> user_ = {};  // DWORD elements keep the SID and the ACL aligned
  std::vector<DWORD> acl_ = {};
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool valid_ = false;
};

// Opens (or creates) the I/O-space file. INVALID_HANDLE_VALUE with a reason
// when it is not a regular file that can be used.
HANDLE OpenIoSpace(const std::wstring& path, std::string& reason) {
  PrivateToUser privateToUser;
  if (privateToUser.Attributes() == nullptr) {
    reason = "cannot make a file private to the user";
    return INVALID_HANDLE_VALUE;
  }
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself
  // instead of what it leads to; it is then refused below.
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  privateToUser.Attributes(), OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    reason = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
    return INVALID_HANDLE_VALUE;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    reason = "cannot be examined (error " + std::to_string(GetLastError()) + ")";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    reason = "is a symbolic link or other reparse point";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
             GetFileType(file) != FILE_TYPE_DISK) {
    reason = "is not a regular file";
  }
  if (!reason.empty()) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart < FileIoSpace::kSize) {
    LARGE_INTEGER end{};
    end.QuadPart = FileIoSpace::kSize;
    // Still usable when this fails: reads beyond the end give zeros, writes
    // extend the file.
    if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
  }
  return file;
}

}  // namespace

// ---- The processor's ports ------------------------------------------------------

ProcessorPorts::~ProcessorPorts() {
  // The handler's code goes away with the library.
  if (PVOID handler = handler_.exchange(nullptr)) RemoveVectoredExceptionHandler(handler);
}

void ProcessorPorts::Prepare() {
  if (handler_.load() != nullptr) return;
  PVOID added = AddVectoredExceptionHandler(1, &StepOverRefusedPortInstruction);
  PVOID expected = nullptr;
  if (!handler_.compare_exchange_strong(expected, added) && added != nullptr) {
    RemoveVectoredExceptionHandler(added);
  }
}

void ProcessorPorts::NoteRefusal() {
  if (g_portInstructionRefused.load() && !reported_.exchange(true)) {
    Diagnostic(
        "the I/O port instructions are refused (no port-access driver): port writes do "
        "nothing and reads give all ones");
  }
}

uint8_t ProcessorPorts::In8(uint16_t port) {
  Prepare();
  const auto value = static_cast<uint8_t>(wexlink_port_in8(port));
  NoteRefusal();
  return value;
}

uint16_t ProcessorPorts::In16(uint16_t port) {
  Prepare();
  const auto value = static_cast<uint16_t>(wexlink_port_in16(port));
  NoteRefusal();
  return value;
}

uint32_t ProcessorPorts::In32(uint16_t port) {
  Prepare();
  const uint32_t value = wexlink_port_in32(port);
  NoteRefusal();
  return value;
}

void ProcessorPorts::Out8(uint16_t port, uint8_t value) {
  Prepare();
  wexlink_port_out8(port, value);
  NoteRefusal();
}

void ProcessorPorts::Out16(uint16_t port, uint16_t value) {
  Prepare();
  wexlink_port_out16(port, value);
  NoteRefusal();
}

void ProcessorPorts::Out32(uint16_t port, uint32_t value) {
  Prepare();
  wexlink_port_out32(port, value);
  NoteRefusal();
}

// ---- The file ---------------------------------------------------------------------

FileIoSpace::~FileIoSpace() {
  HANDLE file = handle_.exchange(INVALID_HANDLE_VALUE);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

HANDLE FileIoSpace::Handle() {
  HANDLE file = handle_.load();
  if (file != INVALID_HANDLE_VALUE) return file;
  // Not opened yet, or it could not be: tried again at every access, so a file
  // in a folder that appears later is still found.
  std::string reason;
  file = OpenIoSpace(path_, reason);
  if (file == INVALID_HANDLE_VALUE) {
    if (!reported_.exchange(true)) {
      Diagnostic("WEXLINK_IOSPACE " + Utf8(path_) + " " + reason +
                 ": port writes do nothing and reads give all ones");
    }
    return INVALID_HANDLE_VALUE;
  }
  HANDLE expected = INVALID_HANDLE_VALUE;
  if (!handle_.compare_exchange_strong(expected, file)) {
    CloseHandle(file);
    return expected;
  }
  return file;
}

uint32_t FileIoSpace::Read(uint16_t port, unsigned width) {
  HANDLE file = Handle();
  if (file == INVALID_HANDLE_VALUE) return AllOnes(width);
  uint8_t bytes[4] = {0, 0, 0, 0};
  OVERLAPPED at{};
  at.Offset = port;
  DWORD got = 0;
  // Bytes beyond the end of the file stay 0.
  if (!ReadFile(file, bytes, DWORD{width}, &got, &at) && GetLastError() != ERROR_HANDLE_EOF) {
    return AllOnes(width);
  }
  uint32_t value = 0;
  for (unsigned i = width; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

void FileIoSpace::Write(uint16_t port, uint32_t value, unsigned width) {
  HANDLE file = Handle();
  if (file == INVALID_HANDLE_VALUE) return;
  uint8_t bytes[4];
  for (unsigned i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  OVERLAPPED at{};
  at.Offset = port;
  DWORD written = 0;
  // Nothing to report: a port write has no result.
  WriteFile(file, bytes, DWORD{width}, &written, &at);
}

// ---- The choice ---------------------------------------------------------------------

SelectedIoPorts::~SelectedIoPorts() {
  IoPorts* target = target_.exchange(nullptr);
  if (target != &processor_) delete target;
}

IoPorts& SelectedIoPorts::Target() {
  if (IoPorts* chosen = target_.load()) return *chosen;
  IoPorts* candidate = &processor_;
  const DWORD length = GetEnvironmentVariableW(kIoSpaceVariable, nullptr, 0);
  if (length > 1) {
    std::wstring path(length, L'\0');
    path.resize(GetEnvironmentVariableW(kIoSpaceVariable, path.data(), length));
    if (!path.empty()) candidate = new FileIoSpace(path);
  }
  IoPorts* expected = nullptr;
  if (!target_.compare_exchange_strong(expected, candidate)) {
    if (candidate != &processor_) delete candidate;
    return *expected;
  }
  return *candidate;
}

}  // namespace wexlink::win32
