#include "platform/memory.h"

#include <cstdio>
#include <new>
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
// C library's allocator after a call, resident, beside the result that the caller keeps. Mapped
// memory is aligned to a page, and no system has pages below 4 KiB: a block that needs more
// alignment than that comes from operator new at any size.
constexpr std::size_t kMappedBytes = std::size_t{1} << 20;
constexpr std::size_t kPageAlignment = 4096;

}  // namespace

void* try_allocate(std::size_t bytes, std::size_t alignment) noexcept {
  if (bytes > kMaxAllocationBytes) return nullptr;
  if (bytes >= kMappedBytes && alignment <= kPageAlignment) return platform::map_memory(bytes);
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
  if (bytes >= kMappedBytes && alignment <= kPageAlignment) {
    platform::unmap_memory(memory, bytes);
    return;
  }
  ::operator delete(memory, std::align_val_t(alignment));
}

}  // namespace dorvane
