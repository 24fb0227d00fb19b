// The node number and the edge record shared by the whole computation.
#pragma once

#include <cstdint>

namespace dorvane {

// A node number as the caller gave it: any unsigned 32-bit value, not necessarily dense.
using NodeId = uint32_t;

// One undirected weighted edge. The weight is stored unchanged: zero, negative, infinite and NaN
// weights are all kept.
struct Edge {
  NodeId source;
  NodeId target;
  double weight;
};

}  // namespace dorvane
