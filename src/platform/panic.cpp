#include "platform/panic.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace dorvane {

namespace {

// Trivial, so that once this library's thread-local block exists on a thread, reading them costs
// nothing more (no initialisation guard, no destructor to register).
constinit thread_local bool thread_prepared = false;
constinit thread_local unsigned hold_depth = 0;

// A diagnostic up to this long is formatted on the stack. A longer one goes on the heap if memory
// allows, and is otherwise cut to this length with kCutMarker at its end.
constexpr std::size_t kStackDiagnosticBytes = 1024;
constexpr std::string_view kCutMarker = "[...]\n";

// Text appended into a fixed buffer: keeps what fits and counts what was asked for.
class TextBuffer {
 public:
  TextBuffer(char* data, std::size_t capacity) : data_(data), capacity_(capacity) {}

  void append(std::string_view text) {
    if (size_ < capacity_) {
      std::memcpy(data_ + size_, text.data(), std::min(text.size(), capacity_ - size_));
    }
    size_ += text.size();
  }
  void append(uint64_t number) {
    char digits[20];
    std::to_chars_result end = std::to_chars(digits, digits + sizeof(digits), number);
    append(std::string_view(digits, static_cast<std::size_t>(end.ptr - digits)));
  }

  // Bytes the text needs in full.
  std::size_t needed() const { return size_; }
  bool complete() const { return size_ <= capacity_; }
  // What fitted.
  std::string_view text() const { return std::string_view(data_, std::min(size_, capacity_)); }

 private:
  char* data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

void format_diagnostic(TextBuffer& out, const PanicOrigin& origin, std::string_view message) {
  out.append("dorvane: thread ");
  out.append(origin.thread_id);
  out.append(" panicked at ");
  out.append(origin.where.file_name());
  out.append(":");
  out.append(uint64_t{origin.where.line()});
  out.append(":");
  out.append(uint64_t{origin.where.column()});
  out.append(":\n");
  out.append(message);
  out.append("\n");
}

// Writes the diagnostic in one write, allocating only when it does not fit on the stack.
void write_diagnostic(const PanicOrigin& origin, std::string_view message) noexcept {
  char stack[kStackDiagnosticBytes];
  TextBuffer buffer(stack, sizeof(stack));
  format_diagnostic(buffer, origin, message);
  if (buffer.complete()) {
    platform::write_stderr(buffer.text());
    return;
  }
  if (std::unique_ptr<char[]> heap(new (std::nothrow) char[buffer.needed()]); heap) {
    TextBuffer whole(heap.get(), buffer.needed());
    format_diagnostic(whole, origin, message);
    platform::write_stderr(whole.text());
    return;
  }
  TextBuffer cut(stack, sizeof(stack) - kCutMarker.size());
  format_diagnostic(cut, origin, message);
  const std::size_t kept = cut.text().size();
  std::memcpy(stack + kept, kCutMarker.data(), kCutMarker.size());
  platform::write_stderr(std::string_view(stack, kept + kCutMarker.size()));
}

}  // namespace

void panic(PanicMessage message, std::source_location where) {
  Panic failure(std::move(message));
  const PanicOrigin origin{platform::current_thread_id(), where};
  if (hold_depth > 0) {
    failure.held_ = origin;
  } else {
    write_diagnostic(origin, failure.message());
  }
  throw failure;
}

void Panic::write_held_diagnostic() noexcept {
  if (!held_) return;
  const PanicOrigin origin = *held_;
  held_.reset();
  write_diagnostic(origin, message());
}

DiagnosticHold::DiagnosticHold() noexcept {
  ++hold_depth;
}

DiagnosticHold::~DiagnosticHold() {
  --hold_depth;
}

void rethrow_with_held_diagnostic(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (Panic& held) {
    held.write_held_diagnostic();
    throw;
  }
}

void prepare_thread_for_panics() noexcept {
  // In a library loaded with dlopen, this first read allocates the thread's block of all this
  // library's thread-locals.
  if (thread_prepared) return;
  // The C++ runtime allocates its per-thread exception state on the first throw: throw once now,
  // while memory may still be had.
  try {
    throw Panic("preparing the thread for panics");
  } catch (const Panic&) {
  }
  thread_prepared = true;
}

}  // namespace dorvane
