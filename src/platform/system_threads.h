// The split of spawn_detached_thread: threads.cpp keeps what every system shares (the start record
// that a new thread unpacks), and each system file only starts the thread. Internal to
// src/platform.
#pragma once

#include <cstddef>

namespace dorvane::platform::system_threads {

inline constexpr std::size_t kThreadStackBytes = 2 * 1024 * 1024;

// In threads.cpp: what a thread started by start_detached_thread runs, given that call's `start`.
void run_thread(void* start);

// In each system file: starts a detached thread with a kThreadStackBytes stack that calls
// run_thread(start). Returns 0 or the system's error code (never 0).
int start_detached_thread(void* start);

}  // namespace dorvane::platform::system_threads
