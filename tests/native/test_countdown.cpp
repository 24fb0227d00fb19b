#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "platform/countdown.h"

namespace dorvane {
namespace {

TEST(Countdown, IsDueOncePerIntervalAndStartsAfreshAfterEachDueStep) {
  struct Case {
    std::size_t interval;
    std::vector<std::size_t> steps;
    std::vector<bool> due;
  };
  const Case cases[] = {
      {3, {1, 1, 1, 1, 1, 1, 1}, {false, false, true, false, false, true, false}},
      {1, {1, 1, 1}, {true, true, true}},
      // The overshoot of a due step does not count towards the next interval.
      {5, {2, 2, 2, 2, 2, 2}, {false, false, true, false, false, true}},
      // Empty steps are never due; a step as long as what is left is; so is a longer one, once.
      {4, {0, 0, 4, 0, 9, 3, 1, 0}, {false, false, true, false, true, false, true, false}},
  };
  for (const Case& c : cases) {
    Countdown countdown(c.interval);
    std::vector<bool> due;
    for (std::size_t units : c.steps)
      due.push_back(countdown.tick(units));
    EXPECT_EQ(due, c.due) << "interval " << c.interval;
  }
}

}  // namespace
}  // namespace dorvane
