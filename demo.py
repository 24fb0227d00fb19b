"""A short tour of dorvane on a built-in example: a weighted grid of a few thousand nodes."""

import time

import dorvane

WIDTH, HEIGHT = 50, 40


def grid_edges(width, height):
    """Each node is joined to its right and lower neighbours; weights come from a fixed formula."""
    edges = []
    for y in range(height):
        for x in range(width):
            node = y * width + x
            if x + 1 < width:
                edges.append((node, node + 1, 1.0 + (x * 7 + y * 3) % 10 / 4))
            if y + 1 < height:
                edges.append((node, node + width, 1.0 + (x * 5 + y * 11) % 10 / 4))
    return edges


def timed(edges, cutoff=None):
    start = time.perf_counter()
    result = dorvane.all_pairs_dijkstra_path_length(edges, cutoff)
    return result, time.perf_counter() - start


def main():
    edges = grid_edges(WIDTH, HEIGHT)
    corner, far_corner = 0, WIDTH * HEIGHT - 1
    print(f"grid {WIDTH} x {HEIGHT}: {WIDTH * HEIGHT} nodes, {len(edges)} edges")
    for cutoff in (None, 10.0):
        result, seconds = timed(edges, cutoff)
        pairs = sum(len(distances) for distances in result.values())
        label = "no cutoff" if cutoff is None else f"cutoff {cutoff}"
        sample = result[corner].get(far_corner)
        shown = f"{sample:.3f}" if sample is not None else "beyond the cutoff"
        print(
            f"{label:>12}: {len(result)} sources, {pairs} pairs, "
            f"distance {corner} -> {far_corner}: {shown}, {seconds:.3f} s"
        )


if __name__ == "__main__":
    main()
