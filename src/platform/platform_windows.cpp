// Windows implementation of the operating-system layer.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which they need.
#include <bcrypt.h>
#include <synchapi.h>

#include <climits>

#include "platform/platform.h"
#include "platform/system_threads.h"
#include "platform/windows_text.h"

namespace dorvane::platform {

namespace {

DWORD WINAPI thread_entry(void* start) {
  system_threads::run_thread(start);
  return 0;
}

// WaitOnAddress compares and waits on the atomic's own storage.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
void* address_of(const std::atomic<uint32_t>& word) {
  return const_cast<std::atomic<uint32_t>*>(&word);
}

// ProcessPrng never fails and needs no handle, but only bcryptprimitives.dll of Windows 10 and
// later has it (wine 8 does not): resolved once, at the first use, from the system directory only.
using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE data, SIZE_T size);

ProcessPrngFunction resolve_process_prng() {
  HMODULE module = LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  // Kept loaded for the rest of the process. The cast goes through void(*)() because GetProcAddress
  // returns a generic function pointer.
  return reinterpret_cast<ProcessPrngFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "ProcessPrng")));
}

[[noreturn]] void random_source_failed() {
  write_stderr("dorvane: the operating system's random source failed\n");
  fail_fast();
}

}  // namespace

std::string to_utf8(const wchar_t* text, int length) {
  if (length == 0) return std::string();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string result(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), bytes, nullptr, nullptr);
  return result;
}

std::wstring to_utf16(const char* text) {
  int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring result(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, result.data(), units);
  result.pop_back();  // the terminating null
  return result;
}

void* map_memory(std::size_t bytes) noexcept {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_memory(void* memory, std::size_t) noexcept {
  VirtualFree(memory, 0, MEM_RELEASE);
}

void fill_random(void* out, std::size_t size) {
  static const ProcessPrngFunction process_prng = resolve_process_prng();
  auto* bytes = static_cast<unsigned char*>(out);
  if (process_prng != nullptr) {
    if (!process_prng(bytes, size)) random_source_failed();
    return;
  }
  while (size > 0) {
    ULONG chunk = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      random_source_failed();
    }
    bytes += chunk;
    size -= chunk;
  }
}

int system_threads::start_detached_thread(void* start) {
  // The size is a reservation of address space; the stack is committed as it grows.
  HANDLE thread = CreateThread(nullptr, kThreadStackBytes, thread_entry, start,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    DWORD error = GetLastError();
    // 0 would read as success; a failure that leaves no code is most likely a lack of memory.
    return static_cast<int>(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
  }
  // Detached: the thread is never joined.
  CloseHandle(thread);
  return 0;
}

unsigned processor_count() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1;
}

void yield_now() {
  SwitchToThread();
}

void wait_on_address(const std::atomic<uint32_t>& word, uint32_t expected) {
  WaitOnAddress(address_of(word), &expected, sizeof(expected), INFINITE);
}

void wake_all(const std::atomic<uint32_t>& word) {
  WakeByAddressAll(address_of(word));
}

std::optional<std::string> environment_variable(const char* name) {
  std::wstring wide_name = to_utf16(name);
  std::wstring value(64, L'\0');
  for (;;) {
    // An empty value also gives 0, without an error code.
    SetLastError(ERROR_SUCCESS);
    DWORD length =
        GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    // Too small a buffer gives the size needed, terminating null included; otherwise the length.
    if (length < value.size()) return to_utf8(value.data(), static_cast<int>(length));
    value.resize(length);
  }
}

// Windows has no fork: the process never changes generation.
int watch_forks() {
  return 0;
}

uint32_t fork_generation() {
  return 0;
}

ForkAtomic::ForkAtomic() = default;
ForkAtomic::~ForkAtomic() = default;

int out_of_memory_error() {
  return ERROR_NOT_ENOUGH_MEMORY;
}

void write_stderr(std::string_view text) {
  HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
  // One write for the whole text, so that diagnostics of several threads do not interleave.
  while (!text.empty()) {
    DWORD chunk = text.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(text.size());
    DWORD written = 0;
    if (!WriteFile(stream, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

uint64_t current_thread_id() {
  return GetCurrentThreadId();
}

void fail_fast() {
  // __fastfail(FAST_FAIL_FATAL_APP_EXIT), which these headers do not declare: the code in ecx, then
  // interrupt 0x29. The process ends at once, running no handler of any kind.
  asm volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT) : "memory");
  // Windows before 8 turns the interrupt into an exception instead; make sure of the end.
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}

OsErrorKind os_error_kind(int code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_MAX_THRDS_REACHED:  // the thread limit, which Linux reports as EAGAIN
      return OsErrorKind::WouldBlock;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return OsErrorKind::OutOfMemory;
    case ERROR_ACCESS_DENIED:
      return OsErrorKind::PermissionDenied;
    case ERROR_INVALID_PARAMETER:
      return OsErrorKind::InvalidInput;
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_NOT_SUPPORTED:
      return OsErrorKind::Unsupported;
    default:
      return OsErrorKind::Uncategorized;
  }
}

std::string os_error_message(int code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "Unknown error " + std::to_string(code);
  // The system's texts end in a line break; the message is one line.
  while (length > 0 &&
         (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) {
    --length;
  }
  std::string message = to_utf8(text, static_cast<int>(length));
  LocalFree(text);
  return message;
}

}  // namespace dorvane::platform
