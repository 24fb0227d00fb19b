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

// Starts a detached thread with a 2 MiB stack that runs `body(argument)`. Returns 0 on success or
// the operating system's error number.
int spawn_detached_thread(void (*body)(void*), void* argument);

// Number of logical processors this process may run on (its affinity mask), at least 1.
unsigned processor_count();

// Gives the rest of this time slice to another runnable thread.
void yield_now();

// Blocks while `*word == expected`; may return spuriously, so callers loop on their condition.
void wait_on_address(const std::atomic<uint32_t>& word, uint32_t expected);
void wake_one(const std::atomic<uint32_t>& word);
void wake_all(const std::atomic<uint32_t>& word);

// The value of an environment variable, or nothing when it is unset.
std::optional<std::string> environment_variable(const char* name);

// Registers `handler` to run in the child process after fork(), on its only thread.
void on_fork_child(void (*handler)());

// Writes `text` to standard error, unbuffered, retrying short writes.
void write_stderr(std::string_view text);

// A number naming the calling thread in diagnostics.
uint64_t current_thread_id();

// Ends the process at once: no unwinding, no exit handlers.
[[noreturn]] void fail_fast();

}  // namespace dorvane::platform
