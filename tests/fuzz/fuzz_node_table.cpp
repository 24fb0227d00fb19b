// Fuzz target: the hash table (NodeTable) against std::unordered_map.
//
// The input is a program of table operations, one opcode byte each followed by its operands:
// inserts of both kinds (try_emplace is also the table's lookup), resets, moves and visits of
// every entry. Keys come from a small pool (so that lookups hit and inserts collide) or are raw
// 32-bit numbers. After
// every operation the table must agree with the model; the map's values own heap memory and count
// their live instances, so that a value lost, copied or destroyed twice shows up here or under
// AddressSanitizer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <utility>

#include "paths/node_table.h"

namespace {

using dorvane::NodeId;

[[noreturn]] void fail(const char* what) {
  __builtin_printf("node table disagrees with the model: %s\n", what);
  std::abort();
}

void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// A value that owns memory and counts its live instances.
long live_values = 0;

struct Value {
  explicit Value(uint64_t number) : number(std::make_unique<uint64_t>(number)) { ++live_values; }
  Value(Value&& other) noexcept : number(std::move(other.number)) { ++live_values; }
  Value& operator=(Value&& other) noexcept {
    number = std::move(other.number);
    return *this;
  }
  ~Value() { --live_values; }
  uint64_t get() const {
    check(number != nullptr, "a value was read after it was moved out");
    return *number;
  }
  std::unique_ptr<uint64_t> number;
};

using Map = dorvane::NodeTable<Value>;
using ModelMap = std::unordered_map<NodeId, uint64_t>;

constexpr NodeId kKeyPool[] = {0,     1,          2,          3,          4,         5,
                               16,    17,         100,        255,        256,       65535,
                               65536, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};

NodeId next_key(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) return input.PickValueInArray(kKeyPool);
  return input.ConsumeIntegral<NodeId>();
}

void check_map(Map& map, const ModelMap& model) {
  check(map.size() == model.size(), "size");
  check(map.empty() == model.empty(), "empty");
  check(map.size() <= map.capacity(), "size beyond capacity");
  // Every entry once.
  ModelMap seen;
  map.for_each([&](NodeId key, const Value& value) {
    check(seen.emplace(key, value.get()).second, "for_each visits a key twice");
  });
  check(seen == model, "for_each");
  // Every entry is found where it is: try_emplace inserts nothing.
  for (const auto& [key, number] : model) {
    auto [value, inserted] = map.try_emplace(key, ~number);
    check(!inserted && value->get() == number, "lookup of a present key");
  }
}

void run(FuzzedDataProvider& input) {
  Map map;
  ModelMap model;
  // Capacity promised by the last reset: no growth until the size passes it.
  std::size_t reserved = 0;
  std::size_t reserved_capacity = 0;

  while (input.remaining_bytes() > 0) {
    const NodeId key = next_key(input);
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: {  // insert_or_assign
        uint64_t number = input.ConsumeIntegral<uint64_t>();
        map.insert_or_assign(key, Value(number));
        model[key] = number;
        break;
      }
      case 1: {  // try_emplace: inserts only when absent, and returns the entry either way
        uint64_t number = input.ConsumeIntegral<uint64_t>();
        auto [value, inserted] = map.try_emplace(key, number);
        auto [entry, model_inserted] = model.try_emplace(key, number);
        check(inserted == model_inserted, "try_emplace: inserted");
        check(value->get() == entry->second, "try_emplace: the entry's value");
        break;
      }
      case 2: {  // reset: empty, under a new key, with room for that many entries
        const dorvane::SipKey table_key{input.ConsumeIntegral<uint64_t>(),
                                        input.ConsumeIntegral<uint64_t>()};
        std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 600);
        const long live_before = live_values;
        map.reset(table_key, count);
        check(map.empty(), "reset: the table afterwards");
        check(live_values == live_before - static_cast<long>(model.size()), "reset: values");
        model.clear();
        reserved = count;
        reserved_capacity = map.capacity();
        break;
      }
      case 3: {  // move construction and move assignment keep the entries
        Map moved(std::move(map));
        check(map.empty(), "moved-from table");
        map = std::move(moved);
        break;
      }
      case 4: {  // move assignment over a table with entries of its own
        Map other;
        other.insert_or_assign(key, Value(1));
        other = std::move(map);
        map = std::move(other);
        break;
      }
      case 5:
        check_map(map, model);
        break;
    }
    check(map.size() == model.size(), "size after an operation");
    if (reserved != 0 && map.size() <= reserved && map.capacity() != reserved_capacity &&
        map.capacity() != 0) {
      fail("grew within its reservation");
    }
  }
  check_map(map, model);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  {
    FuzzedDataProvider input(data, size);
    run(input);
  }
  check(live_values == 0, "values left alive after the tables are gone");
  return 0;
}
