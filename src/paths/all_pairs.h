// The all-pairs driver: one search per node of the graph, spread over the worker pool, the
// results handed to the calling thread in source order while later searches still run.
#pragma once

#include <optional>
#include <span>

#include "paths/graph.h"
#include "paths/node_table.h"
#include "paths/search.h"
#include "platform/function_ref.h"

namespace dorvane {

// Receives one source's result on the calling thread: the source's node index and the nodes its
// search reached, in the iteration order of its distance table. Returns false to stop.
using AllPairsConsumer = FunctionRef<bool(NodeIndex source, std::span<const Reached> reached)>;

// Runs a search from every node of `graph` and hands each result to `consume`, in the order of
// the graph's node set, as soon as it is its turn; the results computed ahead of their turn are
// kept to a small window. Returns true once every source was consumed.
//
// Returns false when `consume` returns false, or when `poll` does; the calling thread calls
// `poll` at least every few tens of milliseconds while it waits for a search. Either way the
// searches not yet started are skipped, those running are told to stop, and the call returns
// once no worker touches anything of it any more.
//
// When searches fail, the panic of the one with the lowest position in source order comes out
// (once the searches still running have ended); the sources before it have been consumed.
bool compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff,
                       AllPairsConsumer consume, FunctionRef<bool()> poll);

// Source node to the distances from it: the whole stream gathered, for tests and benchmarks.
using AllPairsResult = NodeMap<DistanceMap>;
AllPairsResult compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff);

}  // namespace dorvane
