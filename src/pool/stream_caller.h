// How a thread that runs an ordered stream on the process-wide pool takes part in it.
#pragma once

#include <optional>

#include "pool/ordered_stream.h"
#include "pool/worker_pool.h"

namespace dorvane {

struct StreamCaller {
  // Null on a worker of the pool, which cannot wait for the pool's jobs (they might need it): it
  // computes every position itself.
  WorkerPool* pool;
  StreamSchedule::Caller role;
  // The worker that sits out the stream for the caller, if one does.
  std::optional<WorkerPool::ParkedWorker> parked;
};

// The pool (created on first use), and the calling thread's part: where the workers can occupy
// every processor, the caller computes too, and, when `long_run`, a worker makes room for it.
// Otherwise the scheduler shares processors between the caller and the workers, and the caller,
// whose progress the stream waits for, loses its own to positions that are not needed yet.
// Parking and letting go cost a few wake-ups, hundreds of microseconds: worth it on a long run
// only.
StreamCaller stream_caller(bool long_run);

}  // namespace dorvane
