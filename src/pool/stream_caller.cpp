#include "pool/stream_caller.h"

#include "pool/worker_thread.h"

namespace dorvane {

StreamCaller stream_caller(bool long_run) {
  if (WorkerThread::current() != nullptr) return {nullptr, StreamSchedule::Caller::kWaits, {}};
  WorkerPool& pool = global_pool();
  if (!pool.callers_share_processors()) return {&pool, StreamSchedule::Caller::kWaits, {}};
  return {&pool, StreamSchedule::Caller::kHelps, long_run ? pool.park_worker() : std::nullopt};
}

}  // namespace dorvane
