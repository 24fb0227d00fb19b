#include "platform/siphash.h"

#include <cstring>

namespace dorvane {

uint64_t siphash13(SipKey key, const void* data, std::size_t size) {
  static_assert(std::endian::native == std::endian::little, "blocks are read little-endian");
  const auto* bytes = static_cast<const unsigned char*>(data);
  siphash_detail::State state(key);
  std::size_t full = size & ~std::size_t{7};
  for (std::size_t offset = 0; offset < full; offset += 8) {
    uint64_t block;
    std::memcpy(&block, bytes + offset, 8);
    state.compress(block);
  }
  uint64_t last = static_cast<uint64_t>(size) << 56;
  for (std::size_t i = full; i < size; ++i) {
    last |= static_cast<uint64_t>(bytes[i]) << (8 * (i - full));
  }
  return state.finish(last);
}

}  // namespace dorvane
