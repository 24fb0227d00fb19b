// The thread functions of the operating-system layer, on every system: what a new thread runs
// first, and the cleanups it runs when it ends. The calls that differ are in system_threads.h.
#include <new>

#include "platform/platform.h"
#include "platform/system_threads.h"

namespace dorvane::platform {

namespace system_threads {

namespace {

// What a new thread runs; made by the spawning thread, freed by the new one.
struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

// The cleanups of one thread, newest first.
struct ExitCleanup {
  void (*cleanup)(void*);
  void* argument;
  ExitCleanup* next;
};

}  // namespace

void run_thread(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.body(start.argument);
}

void run_exit_cleanups(void* raw) {
  for (auto* node = static_cast<ExitCleanup*>(raw); node != nullptr;) {
    ExitCleanup* next = node->next;
    node->cleanup(node->argument);
    delete node;
    node = next;
  }
}

}  // namespace system_threads

int spawn_detached_thread(void (*body)(void*), void* argument) {
  auto* start = new system_threads::ThreadStart{body, argument};
  const int error = system_threads::start_detached_thread(start);
  if (error != 0) delete start;
  return error;
}

void at_thread_exit(void (*cleanup)(void*), void* argument) {
  auto* node = new system_threads::ExitCleanup{
      cleanup, argument, static_cast<system_threads::ExitCleanup*>(system_threads::exit_slot())};
  if (!system_threads::set_exit_slot(node)) {
    // Out of memory for the slot's storage: the cleanup cannot run, and only its argument leaks.
    delete node;
  }
}

}  // namespace dorvane::platform
