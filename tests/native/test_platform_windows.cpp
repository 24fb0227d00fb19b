// The Windows side of the operating-system layer: what the portable tests cannot see.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "os_errors.h"
#include "platform/platform.h"
#include "pool/thread_count.h"

namespace dorvane {

const int testing::kThreadLimitError = ERROR_MAX_THRDS_REACHED;
const int testing::kUnsupportedError = ERROR_CALL_NOT_IMPLEMENTED;

namespace {

TEST(PlatformWindows, ASpawnedThreadReservesATwoMebibyteStack) {
  struct Seen {
    std::atomic<bool> done{false};
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
  };
  static Seen seen;
  auto inspect = [](void*) {
    // The whole reservation, not only the part committed so far.
    GetCurrentThreadStackLimits(&seen.low, &seen.high);
    seen.done.store(true);
  };
  ASSERT_EQ(platform::spawn_detached_thread(inspect, nullptr), 0);
  while (!seen.done.load())
    std::this_thread::yield();
  EXPECT_EQ(seen.high - seen.low, 2u * 1024 * 1024);
}

TEST(PlatformWindows, ErrorsAreDescribedByKindAndTheSystemsMessage) {
  using platform::OsErrorKind;
  EXPECT_EQ(platform::os_error_kind(testing::kThreadLimitError), OsErrorKind::WouldBlock);
  EXPECT_EQ(platform::os_error_kind(testing::kUnsupportedError), OsErrorKind::Unsupported);
  EXPECT_EQ(platform::os_error_kind(ERROR_NOT_SUPPORTED), OsErrorKind::Unsupported);
  EXPECT_EQ(platform::os_error_kind(ERROR_NOT_ENOUGH_MEMORY), OsErrorKind::OutOfMemory);
  EXPECT_EQ(platform::os_error_kind(ERROR_ACCESS_DENIED), OsErrorKind::PermissionDenied);
  EXPECT_EQ(platform::os_error_kind(ERROR_INVALID_PARAMETER), OsErrorKind::InvalidInput);
  EXPECT_EQ(platform::os_error_kind(ERROR_FILE_NOT_FOUND), OsErrorKind::Uncategorized);
  // The texts come from the system and are one line each.
  for (int code : {testing::kThreadLimitError, int{ERROR_NOT_ENOUGH_MEMORY}, 0x12345}) {
    std::string message = platform::os_error_message(code);
    EXPECT_FALSE(message.empty()) << code;
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << code << ": " << message;
  }
  EXPECT_EQ(platform::os_error_message(0x12345), "Unknown error 74565");
}

// SetEnvironmentVariableW takes what the module reads with GetEnvironmentVariableW.
TEST(PlatformWindows, TheEnvironmentIsReadAsUtf16AndGivenOutAsUtf8) {
  const wchar_t* name = L"DORVANE_TEST_WIDE_VARIABLE";
  ASSERT_TRUE(SetEnvironmentVariableW(name, L"7\u00e9\u20ac\U0001f600"));
  EXPECT_EQ(platform::environment_variable("DORVANE_TEST_WIDE_VARIABLE"),
            "7\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  ASSERT_TRUE(SetEnvironmentVariableW(name, L""));
  EXPECT_EQ(platform::environment_variable("DORVANE_TEST_WIDE_VARIABLE"), "");
  ASSERT_TRUE(SetEnvironmentVariableW(name, nullptr));
  EXPECT_EQ(platform::environment_variable("DORVANE_TEST_WIDE_VARIABLE"), std::nullopt);
}

// A lone surrogate is not valid UTF-16: the thread count's parser must refuse the value, as it
// refuses bytes that are not UTF-8 on Linux, so that the second variable decides.
TEST(PlatformWindows, AVariableThatIsNotValidUtf16IsNotANumber) {
  const wchar_t lone_surrogate[] = {L'4', 0xd800, 0};
  ASSERT_TRUE(SetEnvironmentVariableW(L"DORVANE_NUM_THREADS", lone_surrogate));
  ASSERT_TRUE(SetEnvironmentVariableW(L"DORVANE_NUM_CPUS", L"3"));
  std::optional<std::string> value = platform::environment_variable(kNumThreadsVariable);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(parse_thread_count(*value), std::nullopt) << *value;
  EXPECT_EQ(thread_count_from_environment(), 3u);
  SetEnvironmentVariableW(L"DORVANE_NUM_THREADS", nullptr);
  SetEnvironmentVariableW(L"DORVANE_NUM_CPUS", nullptr);
}

}  // namespace
}  // namespace dorvane
