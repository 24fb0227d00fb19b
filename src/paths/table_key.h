// Keys for the hash tables. Each thread keeps a key pair, filled from the operating system's
// random source the first time the thread creates a table; every table takes a copy of the pair
// and then advances its first half by one, so no two tables of a thread share a key.
#pragma once

#include "platform/siphash.h"

namespace dorvane {

SipKey next_table_key();

}  // namespace dorvane
