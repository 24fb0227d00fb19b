#include "paths/table_key.h"

#include "platform/platform.h"

namespace dorvane {

SipKey next_table_key() {
  thread_local bool seeded = false;
  thread_local SipKey current;
  if (!seeded) {
    platform::fill_random(&current, sizeof(current));
    seeded = true;
  }
  SipKey key = current;
  current.k0 += 1;  // unsigned: wraps
  return key;
}

}  // namespace dorvane
