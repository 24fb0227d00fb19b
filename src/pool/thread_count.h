// How many workers the process-wide pool gets: the two environment variables, then the
// processor count, capped so that the sleep counters' 16-bit fields can count every worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pool/sleep.h"

namespace dorvane {

inline constexpr std::size_t kMaxThreadCount = SleepCounters::kMaxWorkers;

inline constexpr const char* kNumThreadsVariable = "DORVANE_NUM_THREADS";
inline constexpr const char* kNumCpusVariable = "DORVANE_NUM_CPUS";

// An unsigned 64-bit decimal: an optional single leading '+', then one or more ASCII digits and
// nothing else. Nothing when the text is anything else or the value does not fit in 64 bits.
std::optional<uint64_t> parse_thread_count(std::string_view text);

// The worker count from the two variables' values (nothing = unset) and the processor count. A
// usable first variable decides alone (0 meaning the default); otherwise the second one does.
std::size_t choose_thread_count(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> num_cpus, unsigned processor_count);

// choose_thread_count over the process's environment and processors.
std::size_t thread_count_from_environment();

}  // namespace dorvane
