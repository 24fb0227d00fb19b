// Panics: the module's one signal for an unrecoverable failure.
//
// A panic is a C++ exception of the single type `Panic`, carrying its message. `panic()` writes
// one diagnostic to standard error where the failure starts and then throws; code that carries a
// panic elsewhere (the worker pool moving it to a waiting thread) rethrows the same object and adds
// nothing to standard error. Only the entry points catch it, and turn it into a Python exception.
//
// Panics must work when memory has run out, since that is when some of them happen:
//  - a message that is constant text is kept by reference, so making the panic needs no memory;
//  - the diagnostic is formatted on the stack;
//  - a thread readies the C++ runtime's per-thread exception state, and this library's
//    thread-local storage, with prepare_thread_for_panics() before any work that may run out of
//    memory. Both are allocated on a thread's first use, and glibc ends the process when that
//    allocation fails.
//
// Where one operation runs many parts that may each fail and only one failure is reported (the
// searches of one call), the parts run inside a DiagnosticHold: their panics keep the diagnostic
// instead of writing it, and whoever picks the failure to report writes that one's with
// Panic::write_held_diagnostic().
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace dorvane {

// A panic's message: constant text, held by reference, or text built at run time, owned.
class PanicMessage {
 public:
  // Constant text (a literal, or a constant that names one). Immediate, so the text is known at
  // compile time and lives as long as the process.
  consteval PanicMessage(const char* text) : text_(std::string_view(text)) {}
  consteval PanicMessage(std::string_view text) : text_(text) {}
  // Text built at run time.
  PanicMessage(std::string text) noexcept : text_(std::move(text)) {}

  std::string_view view() const noexcept {
    if (const std::string* owned = std::get_if<std::string>(&text_)) return *owned;
    return std::get<std::string_view>(text_);
  }

 private:
  std::variant<std::string_view, std::string> text_;
};

// Writes "dorvane: thread {id} panicked at {file}:{line}:{column}:\n{message}\n" to standard error,
// in one write, and throws `Panic(message)`. Inside a DiagnosticHold on this thread the diagnostic
// is kept in the Panic instead.
[[noreturn]] void panic(PanicMessage message,
                        std::source_location where = std::source_location::current());

// Where a panic started: what its diagnostic names besides the message.
struct PanicOrigin {
  uint64_t thread_id;
  std::source_location where;
};

class Panic final {
 public:
  explicit Panic(PanicMessage message) noexcept : message_(std::move(message)) {}
  std::string_view message() const noexcept { return message_.view(); }

  // Writes the diagnostic that a DiagnosticHold kept back when this panic started, once. Does
  // nothing for a panic whose diagnostic was written where it started, or already written here.
  void write_held_diagnostic() noexcept;

 private:
  friend void panic(PanicMessage message, std::source_location where);

  PanicMessage message_;
  std::optional<PanicOrigin> held_;
};

// The message of a failed lookup that an invariant guarantees to succeed.
inline constexpr std::string_view kUnwrapNoneMessage =
    "called `Option::unwrap()` on a `None` value";

// Returns `*value`, or panics with the failed-lookup message when `value` is null.
template <class T>
T& unwrap(T* value, std::source_location where = std::source_location::current()) {
  if (value == nullptr) [[unlikely]] {
    panic(kUnwrapNoneMessage, where);
  }
  return *value;
}

// While it lives, panics that start on the thread that made it keep their diagnostic in the Panic
// (see write_held_diagnostic) instead of writing it. A held panic that is dropped writes nothing.
// Holds nest; each is destroyed on the thread that made it.
class DiagnosticHold {
 public:
  DiagnosticHold() noexcept;
  ~DiagnosticHold();
  DiagnosticHold(const DiagnosticHold&) = delete;
  DiagnosticHold& operator=(const DiagnosticHold&) = delete;
};

// Rethrows `failure`, the one of several held failures that comes out, first writing its kept
// diagnostic when it is a Panic.
[[noreturn]] void rethrow_with_held_diagnostic(std::exception_ptr failure);

// Readies the calling thread to panic with no memory to spare: afterwards the C++ runtime's
// per-thread exception state and this library's thread-local storage exist. Call it on every
// thread that may panic before work that may exhaust memory; it costs a thread-local read once
// the thread is ready.
void prepare_thread_for_panics() noexcept;

}  // namespace dorvane
