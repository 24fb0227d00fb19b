#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "paths/node_table.h"
#include "paths/slot_order.h"
#include "paths/table_key.h"
#include "platform/panic.h"

namespace dorvane {
namespace {

TEST(TableKey, EveryTableOfAThreadGetsTheNextKey) {
  SipKey first = next_table_key();
  SipKey second = next_table_key();
  EXPECT_EQ(second.k0, first.k0 + 1);
  EXPECT_EQ(second.k1, first.k1);

  SipKey other_thread;
  std::thread([&] { other_thread = next_table_key(); }).join();
  // Another thread draws its own random pair (a clash has probability 2^-128).
  EXPECT_FALSE(other_thread.k0 == first.k0 && other_thread.k1 == first.k1);
}

// The keys of `table` in its iteration order.
template <class V>
std::vector<NodeId> keys_in_order(const NodeTable<V>& table) {
  std::vector<NodeId> keys;
  table.for_each([&](NodeId key, const V&) { keys.push_back(key); });
  return keys;
}

TEST(NodeTable, AgreesWithAnOrderedMapThroughEveryGrowth) {
  std::mt19937 random(7);
  NodeTable<double> table;
  std::map<NodeId, double> oracle;
  for (int i = 0; i < 20000; ++i) {
    // Small keys collide often in the oracle's sense (repeated inserts); large ones spread out.
    NodeId key = i % 3 == 0 ? random() % 64 : random();
    double value = i;
    table.insert_or_assign(key, value);
    oracle[key] = value;
    ASSERT_EQ(table.size(), oracle.size());
  }
  std::map<NodeId, double> iterated;
  table.for_each([&](NodeId key, double value) {
    EXPECT_TRUE(iterated.emplace(key, value).second) << "visited twice: " << key;
  });
  EXPECT_EQ(iterated, oracle);
  // Every key is found where it is, as a lookup finds it: try_emplace then inserts nothing.
  for (const auto& [key, value] : oracle) {
    auto [found, inserted] = table.try_emplace(key, -1.0);
    ASSERT_FALSE(inserted) << key;
    EXPECT_EQ(*found, value);
  }
}

TEST(NodeTable, SmallTablesFillTheirOnlyGroup) {
  // Capacities 4 and 8 are a single partly padded group and may fill up completely; from 16 slots
  // at most 7/8 are used. Every key must stay findable at every size.
  NodeTable<NodeId> table;
  for (NodeId key = 0; key < 40; ++key) {
    EXPECT_TRUE(table.try_emplace(key * 1000003u, key).second);
    EXPECT_FALSE(table.try_emplace(key * 1000003u, key).second);
    for (NodeId earlier = 0; earlier <= key; ++earlier) {
      auto [found, inserted] = table.try_emplace(earlier * 1000003u, key + 1);
      ASSERT_TRUE(!inserted && *found == earlier) << earlier << " after " << key;
    }
    EXPECT_LE(table.size(), table.capacity());
    if (table.capacity() >= 16) {
      EXPECT_LE(table.size(), table.capacity() - table.capacity() / 8);
    }
  }
}

TEST(NodeTable, IterationOrderDependsOnTheTableKey) {
  // Same keys, same insertion order, different tables: the orders differ (the chance that 64
  // keys land in the same order under two random keys is negligible).
  NodeTable<int> first, second;
  for (NodeId key = 0; key < 64; ++key) {
    first.insert_or_assign(key, 0);
    second.insert_or_assign(key, 0);
  }
  std::vector<NodeId> first_order = keys_in_order(first);
  std::vector<NodeId> second_order = keys_in_order(second);
  EXPECT_EQ(first_order.size(), 64u);
  EXPECT_NE(first_order, second_order);
}

TEST(NodeTable, WhereAKeyLandsDependsOnItsHashAtEverySize) {
  // Tables of 1 to 20 keys, always the same keys inserted in the same order, each table with a
  // fresh key. In every size each key must come first in some table, and the first two keys
  // must come in either order about equally often. With 2000 tables per size, a key that
  // comes first with probability 1/20 or more is missed with probability below (19/20)^2000
  // (about 1e-45) and the pair's frequency strays beyond 0.35 or 0.65 with probability below
  // 1e-30; so the whole test fails by chance with probability far below 1e-9.
  constexpr int kTables = 2000;
  for (NodeId size = 1; size <= 20; ++size) {
    std::vector<int> first_counts(size, 0);
    int first_before_second = 0;
    for (int table_number = 0; table_number < kTables; ++table_number) {
      NodeTable<int> table;
      for (NodeId key = 0; key < size; ++key)
        table.insert_or_assign(key * 7 + 3, 0);
      std::vector<NodeId> order = keys_in_order(table);
      ASSERT_EQ(order.size(), size);
      first_counts[(order[0] - 3) / 7]++;
      if (size >= 2) {
        auto first = std::find(order.begin(), order.end(), NodeId{3});
        auto second = std::find(order.begin(), order.end(), NodeId{10});
        first_before_second += first < second;
      }
    }
    for (NodeId key = 0; key < size; ++key) {
      EXPECT_GT(first_counts[key], 0) << "key " << key << " never first in tables of " << size;
    }
    if (size >= 2) {
      EXPECT_GT(first_before_second, kTables * 35 / 100) << "size " << size;
      EXPECT_LT(first_before_second, kTables * 65 / 100) << "size " << size;
    }
  }
}

TEST(NodeTable, AResetTableIsAFreshTableOfThatKeyAndSize) {
  // A table reused through reset() must place keys exactly as a table never used before, reset
  // to the same key and count, whatever it held before; neither may grow while it takes that
  // many entries; and the slot order worked out without a table (reused too) must be theirs.
  NodeTable<int> reused(SipKey{});
  SlotOrder slot_order;
  std::mt19937 random(5);
  auto order_of = [](const NodeTable<int>& table) {
    std::vector<std::pair<NodeId, int>> order;
    table.for_each([&](NodeId node, int value) { order.emplace_back(node, value); });
    return order;
  };
  for (int round = 0; round < 50; ++round) {
    const SipKey key{random(), random()};
    // Mostly a few groups; every fifth round single small groups (padded below 16 slots), every
    // tenth thousands of slots.
    const std::size_t count = round % 10 == 0  ? 1000 + random() % 4000
                              : round % 5 == 1 ? random() % 16
                                               : random() % 300;
    // Exactly `count` distinct nodes, as a search fixes.
    std::vector<NodeId> nodes;
    std::set<NodeId> seen;
    while (nodes.size() < count) {
      const NodeId node = static_cast<NodeId>(random() % (4 * count + 1));
      if (seen.insert(node).second) nodes.push_back(node);
    }
    NodeTable<int> fresh(SipKey{});
    fresh.reset(key, count);
    reused.reset(key, count);
    const std::size_t capacity = fresh.capacity();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      fresh.try_emplace(nodes[i], static_cast<int>(i));
      reused.try_emplace(nodes[i], static_cast<int>(i));
    }
    ASSERT_EQ(order_of(reused), order_of(fresh)) << "round " << round;
    EXPECT_EQ(fresh.capacity(), capacity) << "round " << round;
    EXPECT_EQ(reused.capacity(), capacity) << "round " << round;
    std::vector<std::pair<NodeId, int>> placed;
    slot_order.place(
        key, nodes.size(), [&](std::size_t i) { return nodes[i]; },
        [&](std::size_t i) { placed.emplace_back(nodes[i], static_cast<int>(i)); });
    ASSERT_EQ(placed, order_of(fresh)) << "round " << round;
  }
}

TEST(NodeTable, PicksTheFreeSlotNearestTheOffsetInEveryGroupState) {
  // Against the rule itself: of the free slots, the one whose position XOR the offset is least.
  for (uint32_t empty = 1; empty < (1u << 16); ++empty) {
    for (uint32_t offset = 0; offset < 16; ++offset) {
      uint32_t best = 16;
      for (uint32_t slot = 0; slot < 16; ++slot) {
        if ((empty >> slot & 1) != 0 && (best == 16 || (slot ^ offset) < (best ^ offset))) {
          best = slot;
        }
      }
      ASSERT_EQ(node_table_detail::pick_empty(empty, offset), best)
          << "empty " << empty << " offset " << offset;
    }
  }
}

TEST(NodeTable, MovesValuesWithoutCopyingAndDestroysEachOnce) {
  auto counter = std::make_shared<int>(0);
  {
    NodeTable<std::shared_ptr<int>> table;
    for (NodeId key = 0; key < 100; ++key)
      table.try_emplace(key, counter);
    EXPECT_EQ(counter.use_count(), 101);
    NodeTable<std::shared_ptr<int>> moved = std::move(table);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(moved.size(), 100u);
    EXPECT_EQ(counter.use_count(), 101);
  }
  EXPECT_EQ(counter.use_count(), 1);
}

TEST(NodeTable, AnOversizedResetPanicsAndKeepsTheTable) {
  NodeTable<double> table;
  for (NodeId key = 0; key < 100; ++key)
    table.try_emplace(key, key * 0.5);
  // 2^61 slots of 13 bytes pass the signed 64-bit range (and wrap around an unsigned one); 2^62
  // slots pass it too. Either request must be refused before the table gives up its storage.
  for (std::size_t count : {std::size_t{1} << 60, std::size_t{1} << 61}) {
    try {
      table.reset(SipKey{}, count);
      ADD_FAILURE() << "reset for " << count;
    } catch (const Panic& failure) {
      EXPECT_EQ(failure.message(), "capacity overflow");
    }
    ASSERT_EQ(table.size(), 100u);
    for (NodeId key = 0; key < 100; ++key) {
      auto [found, inserted] = table.try_emplace(key, -1.0);
      ASSERT_FALSE(inserted) << key;
      EXPECT_EQ(*found, key * 0.5);
    }
  }
  table.try_emplace(1000, 1.0);
  EXPECT_EQ(table.size(), 101u);
}

}  // namespace
}  // namespace dorvane
