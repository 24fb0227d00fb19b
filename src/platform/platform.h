// The operating-system layer: every system call the module makes goes through these functions,
// so that the rest of the code is portable and the calls are easy to find.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dorvane::platform {

// Fills `out` with `size` bytes from the operating system's random source. Aborts if the source
// is unusable: the hash keys must not silently become predictable.
void fill_random(void* out, std::size_t size);

// `bytes` of zeroed, page-aligned memory straight from the operating system, or null when it
// cannot be had; unmap_memory gives it back (with the same size).
void* map_memory(std::size_t bytes) noexcept;
void unmap_memory(void* memory, std::size_t bytes) noexcept;

// Starts a detached thread with a 2 MiB stack that runs `body(argument)`. Returns 0 on success or
// the operating system's error code (an errno value on Linux, a GetLastError() code on Windows).
int spawn_detached_thread(void (*body)(void*), void* argument);

// The classes of operating-system error codes that the module tells apart.
enum class OsErrorKind {
  WouldBlock,  // a resource limit, such as the number of threads
  OutOfMemory,
  PermissionDenied,
  InvalidInput,
  Unsupported,  // the system cannot do this at all
  Uncategorized,
};
OsErrorKind os_error_kind(int code);

// The system's own one-line description of an error code.
std::string os_error_message(int code);

// Number of logical processors, at least 1: on Linux those this process may run on (its affinity
// mask), on Windows those the system reports.
unsigned processor_count();

// Gives the rest of this time slice to another runnable thread.
void yield_now();

// Blocks while `*word == expected`; may return spuriously, so callers loop on their condition.
void wait_on_address(const std::atomic<uint32_t>& word, uint32_t expected);
// Wakes every thread blocked on `word`.
void wake_all(const std::atomic<uint32_t>& word);

// The value of an environment variable, or nothing when it is unset. A value that is not valid
// text in the system's encoding comes back with bytes that no parser of digits accepts.
std::optional<std::string> environment_variable(const char* name);

// Forks: the one place where the process learns that it forked. A child of fork() has only the
// thread that forked; whatever the parent's other threads were doing stays undone there, and every
// layer that keeps threads or their half-written state asks "has the process forked since X" by
// comparing fork generations, instead of registering a handler of its own.
//
// Starts counting forks (once; later calls return the first call's outcome). Returns 0, or the
// system's error code when the counting could not be set up (no memory): the generations are then
// meaningless, and whatever relies on them must do without. Always 0 where there is no fork.
int watch_forks();
// How many forks separate this process from the one that first called watch_forks: a child starts
// one up on its parent. Always 0 before watch_forks succeeded, and where there is no fork.
uint32_t fork_generation();

// A step of another thread's work that a fork must not cut in half. A fork copies the memory of
// the parent while its other threads run on, for milliseconds in a large process, and one that it
// catches halfway through a change to a structure that the child goes on using (the
// interpreter's queue of calls for its main thread) leaves the child that structure half changed.
// So fork() in any thread waits until no thread is inside a ForkAtomic, and a thread entering one
// while a fork is under way waits until the fork is over. Needs watch_forks to have succeeded;
// nothing where there is no fork. Keep it short, and never fork, or wait for a thread that might,
// inside one.
class ForkAtomic {
 public:
  ForkAtomic();
  ~ForkAtomic();
  ForkAtomic(const ForkAtomic&) = delete;
  ForkAtomic& operator=(const ForkAtomic&) = delete;
};

// The error code of a request that failed for lack of memory (ENOMEM, ERROR_NOT_ENOUGH_MEMORY).
int out_of_memory_error();

// Writes `text` to standard error, unbuffered, retrying short writes.
void write_stderr(std::string_view text);

// A number naming the calling thread in diagnostics.
uint64_t current_thread_id();

// Ends the process at once: no unwinding, no exit handlers.
[[noreturn]] void fail_fast();

}  // namespace dorvane::platform
