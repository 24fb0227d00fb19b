// Runs a piece of a test in a forked child process, for behaviour that concerns fork itself. (For
// a fresh process without fork, see new_process.h.)
#pragma once

#include <chrono>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#endif

namespace dorvane::testing {

// Why a fork test cannot run here, or null when it can. The thread sanitizer cannot follow a
// child that starts threads after a multi-threaded fork; Windows has no fork at all.
#if defined(_WIN32)
inline constexpr const char* kForkUnsupportedReason = "Windows has no fork";
#elif defined(__SANITIZE_THREAD__)
inline constexpr const char* kForkUnsupportedReason = "fork is not supported by this sanitizer";
#else
inline constexpr const char* kForkUnsupportedReason = nullptr;
#endif
inline constexpr bool kForkTestsSupported = kForkUnsupportedReason == nullptr;

inline constexpr int kChildTimedOut = -1;

#if !defined(_WIN32)
// Waits for the child `pid`: its exit status, or kChildTimedOut (after killing it) when it has not
// ended within `limit`, or 128 + signal when a signal ended it.
inline int wait_for_child(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -3;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return kChildTimedOut;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
#endif

// Forks; the child runs `body` and ends with its result as exit status (99 when it threw). Returns
// the child's exit status, or kChildTimedOut (after killing it) when it has not ended within
// `limit`, or 128 + signal when a signal ended it. Without fork, returns -2 at once.
template <class Body>
int run_in_child(Body body, std::chrono::seconds limit = std::chrono::seconds(30)) {
#if defined(_WIN32)
  (void)body;
  (void)limit;
  return -2;
#else
  pid_t pid = fork();
  if (pid == 0) {
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  if (pid < 0) return -2;
  return wait_for_child(pid, limit);
#endif
}

}  // namespace dorvane::testing
