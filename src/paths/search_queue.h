// The search's exact priority queue: a binary heap of entries in a vector, without decrease-key.
//
// Which entries the queue compares is part of the search's behaviour (comparing a NaN distance
// fails), so the heap follows one fixed discipline: push appends and sifts up; pop takes the last
// entry out, walks a hole from the root to the bottom, always promoting the child with the higher
// priority (the right one unless the left is strictly higher), then drops the taken entry into
// the hole and sifts it up. Pushing onto an empty heap and popping from one of one or two entries
// compare nothing.
#pragma once

#include <cstdint>

#include "paths/graph.h"
#include "platform/memory.h"
#include "platform/panic.h"

namespace dorvane {

struct QueueEntry {
  double distance;
  uint32_t sequence;  // push counter at the time of the push: ties come out in push order
  NodeIndex index;
};

// The queue's order: smaller distance first, then smaller sequence, then smaller node number.
// Distances that are unordered (a NaN) cannot be ranked, and the search fails.
class PriorityOrder {
 public:
  explicit PriorityOrder(const Graph& graph) : graph_(graph) {}

  bool higher(const QueueEntry& a, const QueueEntry& b) const {
    if (a.distance < b.distance) return true;
    if (a.distance > b.distance) return false;
    if (a.distance != b.distance) [[unlikely]] {  // neither smaller, larger nor equal: a NaN
      panic(kUnwrapNoneMessage);
    }
    if (a.sequence != b.sequence) return a.sequence < b.sequence;
    return graph_.node_at(a.index) < graph_.node_at(b.index);
  }

 private:
  const Graph& graph_;
};

// The heap itself. Its storage is kept across searches, so a search allocates only when it needs
// a larger queue than any search before it with the same workspace.
class SearchQueue {
 public:
  bool empty() const { return heap_.empty(); }
  void clear() { heap_.clear(); }

  void push(QueueEntry entry, const PriorityOrder& order) {
    heap_.push_back(entry);
    sift_up(heap_.size() - 1, entry, order);
  }

  // Precondition: not empty.
  QueueEntry pop(const PriorityOrder& order) {
    QueueEntry last = heap_.back();
    heap_.pop_back();
    const std::size_t size = heap_.size();
    if (size == 0) return last;
    QueueEntry top = heap_[0];
    std::size_t hole = 0;
    std::size_t child = 1;
    while (child + 1 < size) {
      // The left child moves up only when it ranks strictly higher than the right one.
      if (!order.higher(heap_[child], heap_[child + 1])) ++child;
      heap_[hole] = heap_[child];
      hole = child;
      child = 2 * hole + 1;
    }
    if (child == size - 1) {  // a lone last child moves up without a comparison
      heap_[hole] = heap_[child];
      hole = child;
    }
    sift_up(hole, last, order);
    return top;
  }

 private:
  void sift_up(std::size_t position, QueueEntry entry, const PriorityOrder& order) {
    while (position > 0) {
      std::size_t parent = (position - 1) / 2;
      if (!order.higher(entry, heap_[parent])) break;
      heap_[position] = heap_[parent];
      position = parent;
    }
    heap_[position] = entry;
  }

  Vec<QueueEntry> heap_;
};

}  // namespace dorvane
