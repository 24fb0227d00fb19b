// Runs a piece of a test in a forked child process, for behaviour that needs a fresh process-wide
// pool or that concerns fork itself.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace dorvane::testing {

// The thread sanitizer cannot follow a child that starts threads after a multi-threaded fork.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kForkTestsSupported = false;
#else
inline constexpr bool kForkTestsSupported = true;
#endif

inline constexpr int kChildTimedOut = -1;

// Forks; the child runs `body` and ends with its result as exit status (99 when it threw). Returns
// the child's exit status, or kChildTimedOut (after killing it) when it has not ended within
// `limit`, or 128 + signal when a signal ended it.
template <class Body>
int run_in_child(Body body, std::chrono::seconds limit = std::chrono::seconds(30)) {
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

}  // namespace dorvane::testing
