// Runs a piece of a test in a new process of the test program, for behaviour that needs the
// process-wide pool not to exist yet. GoogleTest starts the program again and runs only this
// statement there (a "threadsafe" death test), the same way on every system, fork or not.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

namespace dorvane::testing {

// The exit status for `body`'s result: the value it returns, or 99 when it throws.
template <class Body>
int exit_status_of(Body&& body) {
  try {
    return body();
  } catch (...) {
    return 99;
  }
}

}  // namespace dorvane::testing

// Expects the callable to return 0 when run in a new process; otherwise the failure shows the
// status it returned.
#define EXPECT_ZERO_IN_NEW_PROCESS(...)                                      \
  do {                                                                       \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                          \
    EXPECT_EXIT(std::_Exit(::dorvane::testing::exit_status_of(__VA_ARGS__)), \
                ::testing::ExitedWithCode(0), "");                           \
  } while (false)
