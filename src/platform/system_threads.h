// The split of the thread functions of platform.h: threads.cpp keeps what every system shares
// (the start record a new thread unpacks, the list of cleanups run at its exit), and each system
// file makes only its own calls through the functions below. Internal to src/platform.
#pragma once

#include <cstddef>

namespace dorvane::platform::system_threads {

inline constexpr std::size_t kThreadStackBytes = 2 * 1024 * 1024;

// In threads.cpp, for the system files to call.

// What a thread started by start_detached_thread runs, given that call's `start`.
void run_thread(void* start);
// Runs the cleanups that the exit slot of an ending thread holds, given its value.
void run_exit_cleanups(void* cleanups);

// In each system file.

// Starts a detached thread with a kThreadStackBytes stack that calls run_thread(start). Returns 0
// or the system's error code (never 0).
int start_detached_thread(void* start);

// The calling thread's exit slot: one pointer per thread, null at first, kept by the system
// rather than in thread_local storage, which MinGW frees before the slot's end. When a thread
// whose slot is not null ends, the system calls run_exit_cleanups with it, after the thread's
// thread_local destructors.
void* exit_slot();
// False when the system has no memory to store it.
bool set_exit_slot(void* value);

}  // namespace dorvane::platform::system_threads
