// Panics: the module's one signal for an unrecoverable failure.
//
// A panic is a C++ exception of the single type `Panic`, carrying its message. `panic()` writes
// one diagnostic to standard error where the failure starts and then throws; code that carries a
// panic elsewhere (the worker pool moving it to a waiting thread) rethrows the same object and adds
// nothing to standard error. Only the entry points catch it, and turn it into a Python exception.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace dorvane {

class Panic final {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// The message of a failed lookup that an invariant guarantees to succeed.
inline constexpr std::string_view kUnwrapNoneMessage =
    "called `Option::unwrap()` on a `None` value";

// Writes "dorvane: thread {id} panicked at {file}:{line}:{column}:\n{message}\n" to standard error
// and throws `Panic(message)`.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Returns `*value`, or panics with the failed-lookup message when `value` is null.
template <class T>
T& unwrap(T* value, std::source_location where = std::source_location::current()) {
  if (value == nullptr) [[unlikely]] {
    panic(std::string(kUnwrapNoneMessage), where);
  }
  return *value;
}

}  // namespace dorvane
