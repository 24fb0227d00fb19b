"""End-to-end speed of dorvane.all_pairs_dijkstra_path_length, seen from Python.

Times the call on a random graph of 2,000 nodes and 8,000 edges (weights uniform in (0, 1)) and
on the demo's weighted grid, with and without a cutoff, and for scale the same distances from
scipy.sparse.csgraph.dijkstra (a dense matrix, not dictionaries) when scipy is installed.

    python3 bench/bench_python.py [rounds]
"""

import random
import sys
import time
from pathlib import Path

import dorvane

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from demo import grid_edges  # noqa: E402


def random_edges(nodes, edges, seed=12345):
    rng = random.Random(seed)
    return [(rng.randrange(nodes), rng.randrange(nodes), rng.random() or 0.5) for _ in range(edges)]


def best_of(rounds, call):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def scipy_call(edges):
    try:
        import numpy as np
        from scipy.sparse import csr_array
        from scipy.sparse.csgraph import dijkstra
    except ImportError:
        return None
    last = {}
    for source, target, weight in edges:
        last[(min(source, target), max(source, target))] = weight
    nodes = sorted({node for pair in last for node in pair})
    index = {node: i for i, node in enumerate(nodes)}
    rows = [index[a] for a, _ in last]
    cols = [index[b] for _, b in last]
    matrix = csr_array((list(last.values()), (rows, cols)), shape=(len(nodes), len(nodes)))
    return lambda: dijkstra(matrix, directed=False)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    cases = [("random 2000 nodes / 8000 edges", random_edges(2000, 8000)),
             ("grid 50 x 40", grid_edges(50, 40))]
    for name, edges in cases:
        result = dorvane.all_pairs_dijkstra_path_length(edges)
        pairs = sum(len(inner) for inner in result.values())
        del result
        full = best_of(rounds, lambda: dorvane.all_pairs_dijkstra_path_length(edges))
        near = best_of(rounds, lambda: dorvane.all_pairs_dijkstra_path_length(edges, 0.5))
        print(f"{name}: {pairs} pairs")
        print(f"  dorvane, no cutoff : {full:.3f} s")
        print(f"  dorvane, cutoff 0.5: {near:.3f} s")
        reference = scipy_call(edges)
        if reference is not None:
            print(f"  scipy dense matrix : {best_of(rounds, reference):.3f} s")


if __name__ == "__main__":
    main()
