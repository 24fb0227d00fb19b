#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "pool/thread_count.h"

namespace dorvane {
namespace {

using Value = std::optional<std::string_view>;

struct ParseCase {
  std::string_view text;
  std::optional<uint64_t> expected;
};

TEST(ThreadCountParse, AcceptsOnlyAnOptionalPlusAndDigits) {
  const ParseCase cases[] = {
      {"4", 4},
      {"+4", 4},
      {"008", 8},
      {"+008", 8},
      {"0", 0},
      {"18446744073709551615", UINT64_MAX},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++4", std::nullopt},
      {"-4", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"four", std::nullopt},
      {"4x", std::nullopt},
      {"0x10", std::nullopt},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"\xff\xfe", std::nullopt},  // not UTF-8: unusable like any other non-digit
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(parse_thread_count(c.text), c.expected) << "text: \"" << c.text << "\"";
  }
}

struct ChooseCase {
  Value num_threads;
  Value num_cpus;
  unsigned processors;
  std::size_t expected;
};

TEST(ThreadCountChoose, FirstUsableVariableDecidesThenProcessorCount) {
  const ChooseCase cases[] = {
      {std::nullopt, std::nullopt, 6, 6},  // both unset: the processors
      {"3", "5", 6, 3},                    // the first shadows the second
      {"0", "5", 6, 6},                    // 0 means the default, and the second is not read
      {"abc", "5", 6, 5},                  // unusable first: the second decides
      {" 4", "5", 6, 5},
      {"4 ", "5", 6, 5},
      {"-4", "5", 6, 5},
      {"", "5", 6, 5},
      {"+", "5", 6, 5},
      {"18446744073709551616", "5", 6, 5},
      {"\xff", "5", 6, 5},
      {"+4", "5", 6, 4},
      {"008", std::nullopt, 6, 8},
      {std::nullopt, "2", 6, 2},
      {std::nullopt, "0", 6, 6},
      {std::nullopt, "x", 6, 6},
      {"x", "y", 6, 6},
      {"70000", std::nullopt, 6, 65535},  // capped to what the sleep counters can hold
      {"65535", std::nullopt, 6, 65535},
      {"18446744073709551615", std::nullopt, 6, 65535},
      {std::nullopt, std::nullopt, 0, 1},  // a processor count of 0 still gives one worker
  };
  for (const ChooseCase& c : cases) {
    EXPECT_EQ(choose_thread_count(c.num_threads, c.num_cpus, c.processors), c.expected)
        << "threads: " << c.num_threads.value_or("<unset>")
        << ", cpus: " << c.num_cpus.value_or("<unset>");
  }
}

}  // namespace
}  // namespace dorvane
