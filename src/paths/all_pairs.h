// The all-pairs driver: one search per node of the graph, spread over the worker pool, the
// results handed to the calling thread in source order while later searches still run.
#pragma once

#include <optional>
#include <span>

#include "paths/graph.h"
#include "paths/search.h"
#include "platform/function_ref.h"

namespace dorvane {

// Receives one source's result on the calling thread: the source's node index and the nodes its
// search reached, in the iteration order of its distance table. Returns false to stop.
using AllPairsConsumer = FunctionRef<bool(NodeIndex source, std::span<const Reached> reached)>;

// Runs a search from every node of `graph` on the process-wide pool (created by the first call;
// on the calling thread alone when it is itself a worker) and hands each result to `consume` as
// soon as it is its turn, in node index order (the order of first appearance in the edge list, in
// which nearby sources tend to share their nodes; the result's own order, the node set's, is the
// caller's to restore). The results computed ahead of their turn are kept to a small window.
// Returns true once every source was consumed.
//
// Returns false when `consume` returns false, or when `poll` does; the calling thread calls
// `poll` at least every few tens of milliseconds while it waits for a search. Either way the
// searches not yet started are skipped, those running are told to stop, and the call returns
// once no worker touches anything of it any more.
//
// When searches fail, the panic of the one whose source comes first in the node set's order
// comes out, once every search that could fail before it has run, with its diagnostic written
// (the only one of the call); nothing is consumed after the first failure.
bool compute_all_pairs(const Graph& graph, const std::optional<double>& cutoff,
                       AllPairsConsumer consume, FunctionRef<bool()> poll);

}  // namespace dorvane
