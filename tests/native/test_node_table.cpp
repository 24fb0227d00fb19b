#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "paths/node_table.h"
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

TEST(NodeTable, AgreesWithAnOrderedMapThroughEveryGrowth) {
  std::mt19937 random(7);
  NodeMap<double> table;
  std::map<NodeId, double> oracle;
  for (int i = 0; i < 20000; ++i) {
    // Small keys collide often in the oracle's sense (repeated inserts); large ones spread out.
    NodeId key = i % 3 == 0 ? random() % 64 : random();
    double value = i;
    table.insert_or_assign(key, value);
    oracle[key] = value;
    ASSERT_EQ(table.size(), oracle.size());
  }
  for (const auto& [key, value] : oracle) {
    ASSERT_NE(table.find(key), nullptr) << key;
    EXPECT_EQ(*table.find(key), value);
  }
  for (NodeId absent = 64; absent < 200; ++absent) {
    if (!oracle.contains(absent)) {
      EXPECT_EQ(table.find(absent), nullptr) << absent;
    }
  }
  std::map<NodeId, double> iterated;
  for (auto entry : table) {
    EXPECT_TRUE(iterated.emplace(entry.key, entry.value).second) << "visited twice: " << entry.key;
  }
  EXPECT_EQ(iterated, oracle);
}

TEST(NodeTable, SmallTablesFillTheirOnlyGroup) {
  // Capacities 4 and 8 are a single partly padded group and may fill up completely; from 16 slots
  // at most 7/8 are used. Every key must stay findable at every size.
  NodeSet set;
  for (NodeId key = 0; key < 40; ++key) {
    EXPECT_TRUE(set.insert(key * 1000003u));
    EXPECT_FALSE(set.insert(key * 1000003u));
    for (NodeId earlier = 0; earlier <= key; ++earlier) {
      ASSERT_TRUE(set.contains(earlier * 1000003u)) << earlier << " after " << key;
    }
    EXPECT_FALSE(set.contains(key * 1000003u + 1));
    EXPECT_LE(set.size(), set.capacity());
    if (set.capacity() >= 16) {
      EXPECT_LE(set.size(), set.capacity() - set.capacity() / 8);
    }
  }
}

TEST(NodeTable, IterationOrderDependsOnTheTableKey) {
  // Same keys, same insertion order, different tables: the orders differ (the chance that 64
  // keys land in the same order under two random keys is negligible).
  NodeSet first, second;
  for (NodeId key = 0; key < 64; ++key) {
    first.insert(key);
    second.insert(key);
  }
  std::vector<NodeId> first_order(first.begin(), first.end());
  std::vector<NodeId> second_order(second.begin(), second.end());
  EXPECT_EQ(first_order.size(), 64u);
  EXPECT_NE(first_order, second_order);
}

TEST(NodeTable, MovesValuesWithoutCopyingAndDestroysEachOnce) {
  auto counter = std::make_shared<int>(0);
  {
    NodeMap<std::shared_ptr<int>> table;
    for (NodeId key = 0; key < 100; ++key)
      table.try_emplace(key, counter);
    EXPECT_EQ(counter.use_count(), 101);
    NodeMap<std::shared_ptr<int>> moved = std::move(table);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(moved.size(), 100u);
    EXPECT_EQ(counter.use_count(), 101);
  }
  EXPECT_EQ(counter.use_count(), 1);
}

TEST(NodeTable, DrainHandsOverEveryEntryAndSurvivesAThrow) {
  auto counter = std::make_shared<int>(0);
  NodeMap<std::shared_ptr<int>> table;
  for (NodeId key = 0; key < 50; ++key)
    table.try_emplace(key, counter);
  std::set<NodeId> seen;
  table.drain([&](NodeId key, std::shared_ptr<int> value) {
    EXPECT_EQ(value, counter);
    seen.insert(key);
  });
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(counter.use_count(), 1);

  for (NodeId key = 0; key < 50; ++key)
    table.try_emplace(key, counter);
  int taken = 0;
  EXPECT_THROW(table.drain([&](NodeId, std::shared_ptr<int>) {
    if (++taken == 10) throw Panic("stop");
  }),
               Panic);
  table = NodeMap<std::shared_ptr<int>>();
  EXPECT_EQ(counter.use_count(), 1) << "entries left behind by the interrupted drain leaked";
}

TEST(NodeTable, ReserveAvoidsLaterGrowth) {
  NodeMap<int> table;
  table.reserve(1000);
  std::size_t capacity = table.capacity();
  for (NodeId key = 0; key < 1000; ++key)
    table.insert_new(key * 7919u, 1);
  EXPECT_EQ(table.capacity(), capacity);
  EXPECT_EQ(table.size(), 1000u);
}

TEST(NodeTable, AnOversizedReservationPanicsAndKeepsTheTable) {
  NodeMap<double> table;
  for (NodeId key = 0; key < 100; ++key)
    table.insert_new(key, key * 0.5);
  // 2^61 slots of 13 bytes pass the signed 64-bit range (and wrap around an unsigned one); 2^62
  // slots pass it too. Either request must be refused before the table gives up its storage.
  for (std::size_t count : {std::size_t{1} << 60, std::size_t{1} << 61}) {
    try {
      table.reserve(count);
      ADD_FAILURE() << "reserved " << count;
    } catch (const Panic& failure) {
      EXPECT_EQ(failure.message(), "capacity overflow");
    }
    ASSERT_EQ(table.size(), 100u);
    for (NodeId key = 0; key < 100; ++key) {
      ASSERT_NE(table.find(key), nullptr) << key;
      EXPECT_EQ(*table.find(key), key * 0.5);
    }
  }
  table.insert_new(1000, 1.0);
  EXPECT_EQ(table.size(), 101u);
}

}  // namespace
}  // namespace dorvane
