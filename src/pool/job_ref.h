// The handle by which queues carry a job: two words, no ownership.
#pragma once

namespace dorvane {

// A type-erased job: running it calls `execute(data)`. The job's storage (usually the stack frame
// of the thread that waits for it) outlives the handle's trip through a queue.
struct JobRef {
  void (*execute)(void* data);
  void* data;

  void run() const { execute(data); }

  // The same job: both parts equal.
  friend bool operator==(const JobRef&, const JobRef&) = default;
};

}  // namespace dorvane
