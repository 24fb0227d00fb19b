#include "pool/thread_count.h"

#include <string>

#include "platform/platform.h"

namespace dorvane {

std::optional<uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    // Every byte outside '0'..'9' is refused, which also refuses text that is not valid UTF-8.
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t choose_thread_count(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> num_cpus,
                                unsigned processor_count) {
  std::optional<uint64_t> requested;
  if (num_threads) requested = parse_thread_count(*num_threads);
  if (!requested && num_cpus) requested = parse_thread_count(*num_cpus);
  uint64_t count = requested.value_or(0);
  if (count == 0) count = processor_count == 0 ? 1 : processor_count;
  return count > kMaxThreadCount ? kMaxThreadCount : static_cast<std::size_t>(count);
}

std::size_t thread_count_from_environment() {
  std::optional<std::string> num_threads = platform::environment_variable(kNumThreadsVariable);
  std::optional<std::string> num_cpus = platform::environment_variable(kNumCpusVariable);
  return choose_thread_count(
      num_threads ? std::optional<std::string_view>(*num_threads) : std::nullopt,
      num_cpus ? std::optional<std::string_view>(*num_cpus) : std::nullopt,
      platform::processor_count());
}

}  // namespace dorvane
