#include "paths/table_key.h"

#include "platform/platform.h"

namespace dorvane {

namespace {

SipKey& current_pair() {
  thread_local bool seeded = false;
  thread_local SipKey current;
  if (!seeded) {
    platform::fill_random(&current, sizeof(current));
    seeded = true;
  }
  return current;
}

}  // namespace

SipKey next_table_key() {
  return next_table_keys(1);
}

SipKey next_table_keys(std::size_t count) {
  SipKey& current = current_pair();
  SipKey first = current;
  current.k0 += count;  // unsigned: wraps
  return first;
}

}  // namespace dorvane
