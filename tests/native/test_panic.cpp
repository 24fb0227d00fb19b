#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/panic.h"
#include "platform/platform.h"
#include "stderr_capture.h"

namespace dorvane {
namespace {

using testing::count_of;
using testing::StderrCapture;

// The Panic that `body` throws.
template <class Body>
Panic panic_of(Body&& body) {
  try {
    body();
  } catch (const Panic& failure) {
    return failure;
  }
  ADD_FAILURE() << "no panic";
  return Panic("<none>");
}

// Whether `text` is exactly the diagnostic "dorvane: thread {thread} panicked at
// tests/native/test_panic.cpp:{line}:{any column}:\n{message}\n".
bool is_diagnostic(std::string_view text, uint64_t thread, int line, std::string_view message) {
  const std::string head = "dorvane: thread " + std::to_string(thread) +
                           " panicked at tests/native/test_panic.cpp:" + std::to_string(line) + ":";
  if (!text.starts_with(head)) return false;
  text.remove_prefix(head.size());
  const std::size_t column = text.find_first_not_of("0123456789");
  if (column == 0 || column == std::string_view::npos) return false;
  text.remove_prefix(column);
  return text == ":\n" + std::string(message) + "\n";
}

// `text` cut before the start of every diagnostic in it.
std::vector<std::string> diagnostics_in(const std::string& text) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t next = text.find("dorvane: thread ", at + 1);
    if (next == std::string::npos) next = text.size();
    pieces.push_back(text.substr(at, next - at));
    at = next;
  }
  return pieces;
}

TEST(Panic, WritesOneDiagnosticNamingThreadPlaceAndMessage) {
  StderrCapture capture;
  const int line = __LINE__ + 1;
  Panic constant = panic_of([] { panic("constant text"); });
  Panic built = panic_of([] { panic("built " + std::to_string(42)); });
  const std::string written = capture.finish();

  EXPECT_EQ(constant.message(), "constant text");
  EXPECT_EQ(built.message(), "built 42");
  const uint64_t thread = platform::current_thread_id();
  const std::vector<std::string> diagnostics = diagnostics_in(written);
  ASSERT_EQ(diagnostics.size(), 2u) << written;
  EXPECT_TRUE(is_diagnostic(diagnostics[0], thread, line, "constant text")) << written;
  EXPECT_TRUE(is_diagnostic(diagnostics[1], thread, line + 1, "built 42")) << written;
  // Carrying a panic on writes nothing more, and there is nothing held to write.
  StderrCapture again;
  built.write_held_diagnostic();
  EXPECT_EQ(again.finish(), "");
}

TEST(Panic, LongMessagesAreWrittenWhole) {
  const std::string message(5000, 'm');
  StderrCapture capture;
  const int line = __LINE__ + 1;
  Panic failure = panic_of([&] { panic(std::string(message)); });
  const std::string written = capture.finish();
  EXPECT_EQ(failure.message(), message);
  EXPECT_TRUE(is_diagnostic(written, platform::current_thread_id(), line, message))
      << written.substr(0, 200);
}

TEST(DiagnosticHold, TheHeldDiagnosticIsWrittenOnceByWhoeverReportsThePanic) {
  StderrCapture capture;
  std::exception_ptr carried;
  uint64_t worker_id = 0;
  int line = 0;
  std::thread worker([&] {
    worker_id = platform::current_thread_id();
    DiagnosticHold hold;
    try {
      line = __LINE__ + 1;
      panic("held on a worker");
    } catch (...) {
      carried = std::current_exception();
    }
  });
  worker.join();
  EXPECT_EQ(capture.finish(), "") << "a held panic writes nothing where it starts";

  StderrCapture report;
  try {
    std::rethrow_exception(carried);
  } catch (Panic& failure) {
    EXPECT_EQ(failure.message(), "held on a worker");
    failure.write_held_diagnostic();
    failure.write_held_diagnostic();
  }
  const std::string written = report.finish();
  // The diagnostic names the thread where the panic started, not the one that wrote it.
  EXPECT_TRUE(is_diagnostic(written, worker_id, line, "held on a worker")) << written;
}

// Exhausting memory needs a child process (fork) and an address-space limit (setrlimit).
#if !defined(_WIN32)

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCanExhaustMemory = false;  // the sanitizers' own allocators need address space
#else
constexpr bool kCanExhaustMemory = true;
#endif

// Maps `bytes` of stack now: once no address space is left, the stack cannot grow.
[[gnu::noinline]] void grow_stack(std::size_t bytes) {
  volatile char pad[16 * 1024];
  pad[0] = 0;
  if (bytes > sizeof(pad)) grow_stack(bytes - sizeof(pad));
  pad[sizeof(pad) - 1] = pad[0];
}

// Denies the process new address space and takes what malloc still has, so that from here on
// every allocation fails. For child processes only.
void exhaust_memory() {
  grow_stack(512 * 1024);
  const rlimit none{0, 0};
  setrlimit(RLIMIT_AS, &none);
  // A failure may move this thread on to another arena with room left, so go on until a whole
  // pass gets nothing. Volatile, or the compiler may drop allocations that nothing uses.
  void* volatile taken = nullptr;
  for (bool got = true; got;) {
    got = false;
    for (std::size_t size = std::size_t{1} << 20; size >= 8; size /= 2) {
      for (;;) {
        taken = std::malloc(size);
        if (taken == nullptr) break;
        got = true;
      }
    }
  }
}

TEST(Panic, RaisesWithItsOwnMessageWhenMemoryIsExhausted) {
  if (!testing::kForkTestsSupported || !kCanExhaustMemory) {
    GTEST_SKIP() << "not under this sanitizer";
  }
  StderrCapture capture;
  const int status = testing::run_in_child([] {
    // Built while memory lasts; its diagnostic does not fit on the stack.
    std::string long_message(3000, 'x');
    exhaust_memory();
    void* volatile probe = std::malloc(8);
    if (probe != nullptr) return 10;
    int failed = 0;
    try {
      panic("Python API call failed");
    } catch (const Panic& failure) {
      if (failure.message() != "Python API call failed") failed |= 1;
    } catch (...) {
      failed |= 2;
    }
    try {
      panic(std::move(long_message));
    } catch (const Panic& failure) {
      if (failure.message().size() != 3000) failed |= 4;
    } catch (...) {
      failed |= 8;
    }
    return failed;
  });
  const std::string written = capture.finish();
  ASSERT_EQ(status, 0) << written;
  EXPECT_EQ(count_of(written, "panicked at"), 2u) << written;
  EXPECT_NE(written.find(":\nPython API call failed\ndorvane: thread "), std::string::npos)
      << written;
  // With no memory for the long diagnostic, it is cut short but still written, in one piece.
  const std::size_t second = written.rfind("dorvane: thread ");
  const std::string cut = written.substr(second);
  EXPECT_GT(cut.size(), 500u);
  EXPECT_LT(cut.size(), 3000u);
  EXPECT_TRUE(cut.ends_with("xxx[...]\n")) << cut;
}

#endif  // !defined(_WIN32)

}  // namespace
}  // namespace dorvane
