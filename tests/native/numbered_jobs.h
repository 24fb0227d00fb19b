// Jobs that carry a number in their data pointer and do nothing when run: the queues' tests
// move them around and count them.
#pragma once

#include <cstdint>

#include "pool/job_ref.h"

namespace dorvane {

inline void do_nothing(void*) {}

inline JobRef job_number(int64_t number) {
  return JobRef{&do_nothing, reinterpret_cast<void*>(static_cast<uintptr_t>(number))};
}

inline int64_t number_of(const JobRef& job) {
  return static_cast<int64_t>(reinterpret_cast<uintptr_t>(job.data));
}

}  // namespace dorvane
