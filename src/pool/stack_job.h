// A job that lives in the stack frame of the thread that waits for it, so that posting work
// allocates nothing, and the result slot through which it reports back.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/panic.h"
#include "pool/abort_guard.h"
#include "pool/job_ref.h"

namespace dorvane {

// The result of an operation that returns nothing, so that every job has a value to hand back.
struct Unit {};

// What an operation's call yields once void has become Unit.
template <class F, class... Args>
using OpValue = std::conditional_t<std::is_void_v<std::invoke_result_t<F&, Args...>>, Unit,
                                   std::invoke_result_t<F&, Args...>>;

// Calls `op(args...)`, turning a void result into Unit.
template <class F, class... Args>
OpValue<F, Args...> call_op(F& op, Args&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, Args...>>) {
    op(std::forward<Args>(args)...);
    return Unit{};
  } else {
    return op(std::forward<Args>(args)...);
  }
}

inline constexpr const char* kUnreachableMessage = "internal error: entered unreachable code";

// None (not run yet), Ok (the value) or Panic (the caught payload).
template <class T>
class JobResult {
  static_assert(!std::is_reference_v<T>, "jobs hand back values");

 public:
  void set_ok(T value) { state_.template emplace<kOk>(std::move(value)); }
  void set_panic(std::exception_ptr payload) {
    state_.template emplace<kPanic>(std::move(payload));
  }

  // The value; a carried panic resumes here with its own payload and writes nothing more.
  T into_value() {
    switch (state_.index()) {
      case kOk:
        return std::move(std::get<kOk>(state_));
      case kPanic:
        std::rethrow_exception(std::get<kPanic>(state_));
      default:
        panic(kUnreachableMessage);
    }
  }

 private:
  static constexpr std::size_t kOk = 1;
  static constexpr std::size_t kPanic = 2;
  std::variant<std::monostate, T, std::exception_ptr> state_;
};

// A posted operation `op(bool migrated)` with its result and the latch its waiter watches. Run
// through its JobRef (by a thief, or by a worker that popped it while waiting) it gets migrated =
// true; the poster may instead pop it back and run it inline with a flag of its choosing.
template <class Latch, class F>
class StackJob {
 public:
  using Value = OpValue<F, bool>;

  // The latch is built in place from `latch_args`.
  template <class... LatchArgs>
  explicit StackJob(F op, LatchArgs&&... latch_args)
      : latch_(std::forward<LatchArgs>(latch_args)...), op_(std::move(op)) {}
  StackJob(const StackJob&) = delete;
  StackJob& operator=(const StackJob&) = delete;

  JobRef as_job_ref() { return JobRef{&StackJob::execute, this}; }
  std::remove_reference_t<Latch>& latch() { return latch_; }

  // Runs the operation on the calling thread; a panic propagates directly.
  Value run_inline(bool migrated) {
    F op = take_op();
    return call_op(op, migrated);
  }

  // The result once the latch is set.
  Value into_value() { return result_.into_value(); }

 private:
  F take_op() {
    F op = std::move(unwrap(op_ ? &*op_ : nullptr));
    op_.reset();
    return op;
  }

  static void execute(void* data) {
    auto* job = static_cast<StackJob*>(data);
    std::optional<Value> value;
    std::exception_ptr payload;
    try {
      F op = job->take_op();
      value.emplace(call_op(op, true));
    } catch (...) {
      payload = std::current_exception();
    }
    run_aborting_on_panic([&] {
      if (payload) {
        job->result_.set_panic(std::move(payload));
      } else {
        job->result_.set_ok(std::move(*value));
      }
      // Last touch of *job: its owner may free it once it sees the latch set.
      job->latch_.set();
    });
  }

  Latch latch_;
  std::optional<F> op_;
  JobResult<Value> result_;
};

}  // namespace dorvane
