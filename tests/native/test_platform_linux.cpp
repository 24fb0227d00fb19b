// The Linux side of the operating-system layer: what the portable tests cannot see.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <thread>
#include <vector>

#include "child_process.h"
#include "new_process.h"
#include "os_errors.h"
#include "platform/memory.h"
#include "platform/platform.h"
#include "platform_testing.h"
#include "pool/thread_count.h"

namespace dorvane {

const int testing::kThreadLimitError = EAGAIN;
const int testing::kUnsupportedError = ENOSYS;

namespace {

// Resident set size of this process in bytes.
std::size_t resident_bytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  unsigned long size = 0, resident = 0;
  if (statm != nullptr) {
    if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

TEST(PlatformLinux, LargeBlocksGoBackToTheSystemWhenFreed) {
  // The searches' working memory and the graph's arrays must not stay resident after a call.
  constexpr std::size_t kBytes = std::size_t{64} << 20;
  const std::size_t before = resident_bytes();
  auto* block = static_cast<unsigned char*>(allocate(kBytes, 64));
  for (std::size_t i = 0; i < kBytes; i += 4096)
    block[i] = 1;
  EXPECT_GT(resident_bytes(), before + kBytes / 2);
  deallocate(block, kBytes, 64);
  EXPECT_LT(resident_bytes(), before + kBytes / 8);
}

TEST(PlatformLinux, ASpawnedThreadIsDetachedWithATwoMebibyteStack) {
  // In a new process: glibc hands a new thread the cached stack of an ended one when that is up to
  // four times larger, so after other tests the stack seen could be an 8 MiB one of std::thread.
  EXPECT_ZERO_IN_NEW_PROCESS([] {
    struct Seen {
      std::atomic<bool> done{false};
      std::size_t stack_size = 0;
      int detach_state = -1;
    };
    static Seen seen;
    auto inspect = [](void*) {
      pthread_attr_t attributes;
      if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &seen.stack_size);
        pthread_attr_getdetachstate(&attributes, &seen.detach_state);
        pthread_attr_destroy(&attributes);
      }
      seen.done.store(true);
    };
    if (platform::spawn_detached_thread(inspect, nullptr) != 0) return 1;
    while (!seen.done.load())
      std::this_thread::yield();
    if (seen.stack_size != 2u * 1024 * 1024) return 2;
    if (seen.detach_state != PTHREAD_CREATE_DETACHED) return 3;
    return 0;
  });
}

TEST(PlatformLinux, ErrorsAreDescribedByKindAndTheSystemsMessage) {
  using platform::OsErrorKind;
  EXPECT_EQ(platform::os_error_kind(testing::kThreadLimitError), OsErrorKind::WouldBlock);
  EXPECT_EQ(platform::os_error_message(EAGAIN), "Resource temporarily unavailable");
  EXPECT_EQ(platform::os_error_kind(testing::kUnsupportedError), OsErrorKind::Unsupported);
  EXPECT_EQ(platform::os_error_kind(ENOTSUP), OsErrorKind::Unsupported);
  EXPECT_EQ(platform::os_error_kind(ENOMEM), OsErrorKind::OutOfMemory);
  EXPECT_EQ(platform::os_error_message(ENOMEM), "Cannot allocate memory");
  EXPECT_EQ(platform::os_error_kind(EACCES), OsErrorKind::PermissionDenied);
  EXPECT_EQ(platform::os_error_kind(EINVAL), OsErrorKind::InvalidInput);
  EXPECT_EQ(platform::os_error_kind(EIO), OsErrorKind::Uncategorized);
  EXPECT_EQ(platform::os_error_message(54321), "Unknown error 54321");
}

TEST(PlatformLinux, RandomBytesComeFromDevUrandomWhereTheKernelLacksGetrandom) {
  if (!testing::kForkTestsSupported) GTEST_SKIP() << testing::kForkUnsupportedReason;
  // The child's getrandom fails as on kernels before 3.17; the module must not abort there.
  int status = testing::run_in_child([] {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
      return 2;
    std::array<unsigned char, 4096> bytes{};
    if (syscall(SYS_getrandom, bytes.data(), bytes.size(), 0) != -1 || errno != ENOSYS) return 3;
    platform::fill_random(bytes.data(), bytes.size());
    return std::count(bytes.begin(), bytes.end(), 0) < 100 ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
}

TEST(PlatformLinux, AForkWaitsUntilNoThreadIsHalfwayThroughAForkAtomicStep) {
  if (!testing::kForkTestsSupported) GTEST_SKIP() << testing::kForkUnsupportedReason;
  ASSERT_EQ(platform::watch_forks(), 0);
  // A step writes two words on pages of their own, and takes longer between them than a fork
  // takes: a child forked in between would find them apart. Between steps as long again, so that
  // forks also find it outside, about to start one; and the forks take long enough to copy that a
  // step could start during one.
  std::vector<unsigned char> ballast(std::size_t{64} << 20, 1);
  struct alignas(4096) Page {
    std::atomic<uint64_t> word{0};
  };
  static Page first, second;
  std::atomic<bool> done{false};
  std::thread stepper([&] {
    for (uint64_t step = 1; !done.load(std::memory_order_relaxed); ++step) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      platform::ForkAtomic whole;
      first.word.store(step, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      second.word.store(step, std::memory_order_relaxed);
    }
  });
  int torn = 0;
  for (int fork = 0; fork < 100; ++fork) {
    torn += testing::run_in_child([] { return first.word.load() == second.word.load() ? 0 : 1; });
  }
  done.store(true, std::memory_order_relaxed);
  stepper.join();
  EXPECT_EQ(torn, 0);
}

// Bytes that are not UTF-8 reach the thread count's parser unchanged, which refuses them: the
// second variable decides.
TEST(PlatformLinux, AVariableThatIsNotUtf8IsNotANumber) {
  platform::set_environment_variable(kNumThreadsVariable, "4\xff");
  platform::set_environment_variable(kNumCpusVariable, "3");
  EXPECT_EQ(platform::environment_variable(kNumThreadsVariable), "4\xff");
  EXPECT_EQ(thread_count_from_environment(), 3u);
  platform::set_environment_variable(kNumThreadsVariable, nullptr);
  platform::set_environment_variable(kNumCpusVariable, nullptr);
}

}  // namespace
}  // namespace dorvane
