// Fork-join on a worker: run two operations, possibly in parallel, and return both results.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "platform/panic.h"
#include "pool/latch.h"
#include "pool/stack_job.h"
#include "pool/worker_thread.h"

namespace dorvane {

// Runs `a(migrated)` and `b(migrated)` and returns {result of a, result of b} (Unit for an
// operation that returns nothing). Must be called on a worker of the pool. `a` runs here with
// migrated = `injected` (whether the operation that calls join was injected into the pool from
// outside it); `b` is offered to thieves and gets migrated = true when it ran through its job
// (stolen, or picked up by a waiting worker), or `injected` when this worker took it back and ran
// it inline. If `a` panics, `b` is still waited for and a's payload wins; otherwise a panic of `b`
// comes out.
template <class A, class B>
std::pair<OpValue<A, bool>, OpValue<B, bool>> join(bool injected, A&& a, B&& b) {
  WorkerThread* current = WorkerThread::current();
  if (current == nullptr) [[unlikely]] {
    panic("assertion failed: join runs on a worker of the pool");
  }
  WorkerThread& worker = *current;
  using ValueA = OpValue<A, bool>;
  StackJob<SpinLatch, std::reference_wrapper<std::remove_reference_t<B>>> job_b(
      std::ref(b), worker.pool(), worker.index());
  const JobRef ref_b = job_b.as_job_ref();
  worker.push(ref_b);

  std::optional<ValueA> value_a;
  std::exception_ptr panic_a;
  try {
    value_a.emplace(call_op(a, injected));
  } catch (...) {
    panic_a = std::current_exception();
  }
  if (panic_a) {
    // b's frame is ours: it must not outlive this call, whatever b does.
    worker.wait_until(job_b.latch().core());
    std::rethrow_exception(panic_a);
  }

  while (!job_b.latch().probe()) {
    std::optional<JobRef> job = worker.take_local();
    if (!job) {
      // Our deque is empty, so b was stolen: work on other things until its thief is done.
      worker.wait_until(job_b.latch().core());
      break;
    }
    if (*job == ref_b) {
      // Nobody took b: run it here, where a panic from it simply propagates.
      return {std::move(*value_a), job_b.run_inline(injected)};
    }
    job->run();
  }
  return {std::move(*value_a), job_b.into_value()};
}

}  // namespace dorvane
