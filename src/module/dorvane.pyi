"""All-pairs shortest-path lengths of undirected weighted graphs, computed natively."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

__all__ = ["all_pairs_dijkstra_path_length"]

def all_pairs_dijkstra_path_length(
    edges: Sequence[tuple[SupportsIndex, SupportsIndex, SupportsFloat | SupportsIndex]],
    cutoff: SupportsFloat | SupportsIndex | None = None,
) -> dict[int, dict[int, float]]:
    """Shortest-path length from every node to every node it reaches within `cutoff`.

    `edges` holds (source, target, weight) tuples of an undirected graph, with node numbers from
    0 to 4294967295; the last weight given for a pair of nodes wins. A negative-weight
    contradiction raises dorvane_runtime.PanicException, which derives from BaseException.
    """
