// Starting threads, on every system: the start record a new thread unpacks. The system calls are
// in the system files (system_threads.h).
#include <new>

#include "platform/platform.h"
#include "platform/system_threads.h"

namespace dorvane::platform {

namespace {

// What a new thread runs; made by the spawning thread, freed by the new one.
struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

}  // namespace

void system_threads::run_thread(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.body(start.argument);
}

int spawn_detached_thread(void (*body)(void*), void* argument) {
  // Without memory for the record no thread can start either: reported as such, never thrown.
  auto* start = new (std::nothrow) ThreadStart{body, argument};
  if (start == nullptr) return out_of_memory_error();
  const int error = system_threads::start_detached_thread(start);
  if (error != 0) delete start;
  return error;
}

}  // namespace dorvane::platform
