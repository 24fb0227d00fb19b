#include "platform/memory.h"

#include <cstdio>
#include <string_view>

#include "platform/panic.h"
#include "platform/platform.h"

namespace dorvane {

std::size_t array_bytes(std::size_t count, std::size_t element_size) {
  if (element_size != 0 && count > kMaxAllocationBytes / element_size) {
    panic("capacity overflow");
  }
  return count * element_size;
}

namespace {

// Blocks from this size on come straight from the operating system and go straight back to it
// when freed: the graph's arrays and the searches' working memory would otherwise stay with the
// C library's allocator after a call, resident, beside the result that the caller keeps.
constexpr std::size_t kMappedBytes = std::size_t{1} << 20;
static_assert(kMappedBytes % 65536 == 0, "mapped blocks are aligned beyond any type's need");

}  // namespace

void* try_allocate(std::size_t bytes, std::size_t alignment) noexcept {
  if (bytes > kMaxAllocationBytes) return nullptr;
  if (bytes >= kMappedBytes) return platform::map_memory(bytes);
  if (bytes == 0) bytes = 1;
  return ::operator new(bytes, std::align_val_t(alignment), std::nothrow);
}

void* allocate(std::size_t bytes, std::size_t alignment) {
  if (bytes > kMaxAllocationBytes) panic("capacity overflow");
  void* memory = try_allocate(bytes, alignment);
  if (memory == nullptr) [[unlikely]] {
    // Formatted on the stack: the heap is what just failed.
    char text[64];
    int length =
        std::snprintf(text, sizeof(text), "memory allocation of %zu bytes failed\n", bytes);
    platform::write_stderr(std::string_view(text, static_cast<std::size_t>(length)));
    platform::fail_fast();
  }
  return memory;
}

void deallocate(void* memory, std::size_t bytes, std::size_t alignment) noexcept {
  if (bytes >= kMappedBytes) {
    platform::unmap_memory(memory, bytes);
    return;
  }
  ::operator delete(memory, std::align_val_t(alignment));
}

}  // namespace dorvane
