// The Linux side of the operating-system layer: what the portable tests cannot see.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "os_errors.h"
#include "platform/platform.h"
#include "pool/thread_count.h"

namespace dorvane {

const int testing::kThreadLimitError = EAGAIN;
const int testing::kUnsupportedError = ENOSYS;

namespace {

TEST(PlatformLinux, ASpawnedThreadIsDetachedWithATwoMebibyteStack) {
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
  ASSERT_EQ(platform::spawn_detached_thread(inspect, nullptr), 0);
  while (!seen.done.load())
    std::this_thread::yield();
  EXPECT_EQ(seen.stack_size, 2u * 1024 * 1024);
  EXPECT_EQ(seen.detach_state, PTHREAD_CREATE_DETACHED);
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
