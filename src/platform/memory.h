// The one place where the module's own containers get memory.
//
// Running out of memory is not an error a caller can handle: `allocate` writes
// "memory allocation of {n} bytes failed" to standard error and aborts. A request whose size in
// bytes would pass the largest signed 64-bit value is a bug in the caller's arithmetic, reported
// as the panic "capacity overflow".
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace dorvane {

inline constexpr std::size_t kMaxAllocationBytes =
    static_cast<std::size_t>(std::numeric_limits<int64_t>::max());

// Bytes for `count` elements of `element_size` bytes; panics with "capacity overflow" when that
// passes kMaxAllocationBytes.
std::size_t array_bytes(std::size_t count, std::size_t element_size);

// Memory for `bytes` bytes aligned to `alignment`; never null (aborts instead).
void* allocate(std::size_t bytes, std::size_t alignment);

// Like `allocate`, but returns null when the memory cannot be had, for callers that can go on
// without it (a reservation made on an untrusted size hint).
void* try_allocate(std::size_t bytes, std::size_t alignment) noexcept;

// Frees memory from `allocate` or `try_allocate`; `bytes` must be the size asked for.
void deallocate(void* memory, std::size_t bytes, std::size_t alignment) noexcept;

// Standard allocator over `allocate`, so that std::vector follows the same failure rules.
template <class T>
struct Allocator {
  using value_type = T;
  Allocator() = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}
  T* allocate(std::size_t count) {
    return static_cast<T*>(dorvane::allocate(array_bytes(count, sizeof(T)), alignof(T)));
  }
  void deallocate(T* memory, std::size_t count) noexcept {
    dorvane::deallocate(memory, count * sizeof(T), alignof(T));
  }
  template <class U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using Vec = std::vector<T, Allocator<T>>;

}  // namespace dorvane
