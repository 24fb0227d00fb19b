// Keys for the hash tables. Each thread keeps a key pair, filled from the operating system's
// random source the first time the thread creates a table; every table takes a copy of the pair
// and then advances its first half by one, so no two tables of a thread share a key.
#pragma once

#include <cstddef>

#include "platform/siphash.h"

namespace dorvane {

// The key of the next table created on this thread.
SipKey next_table_key();

// The keys of the next `count` tables at once: the first one is returned, the others follow it
// in the first half ({k0 + i, k1}), exactly as `count` calls of next_table_key would give them.
SipKey next_table_keys(std::size_t count);

}  // namespace dorvane
