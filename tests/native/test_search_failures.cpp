#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "paths/search_failures.h"

namespace dorvane {
namespace {

TEST(SearchFailures, OnlySearchesAboveTheLowestFailureAreSkipped) {
  SearchFailures failures;
  std::vector<int> ran;
  auto search_at = [&](int position) {
    return failures.run(position, [&] {
      ran.push_back(position);
      return position;
    });
  };
  auto failing_at = [&](int position) {
    EXPECT_THROW(failures.run(position, []() -> int { throw std::runtime_error("any failure"); }),
                 std::runtime_error);
  };

  EXPECT_EQ(search_at(9), 9) << "nothing has failed yet";
  failing_at(5);
  EXPECT_EQ(search_at(7), 0) << "skipped: a default result, and the search never runs";
  EXPECT_EQ(search_at(5), 5);
  EXPECT_EQ(search_at(2), 2);
  EXPECT_EQ(failures.run(6, []() -> int { throw std::runtime_error("never thrown"); }), 0);
  failing_at(3);
  EXPECT_EQ(search_at(4), 0);
  EXPECT_EQ(search_at(3), 3);
  EXPECT_EQ(ran, (std::vector<int>{9, 5, 2, 3}));
}

}  // namespace
}  // namespace dorvane
