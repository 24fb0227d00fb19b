"""dorvane side by side with its peers and with the floor of building the result at all.

For each graph every method runs once per round, the methods interleaved, and the table gives
medians; a second table gives the peak memory of one call, each measured in a fresh process.

Methods, all starting from the same Python list of (source, target, weight) edges:
- dorvane: all_pairs_dijkstra_path_length(edges, cutoff).
- floor: the dict of dicts assembled with the bare C API (bench/floor.c) from distances computed
  beforehand, one int object per entry; "floor, shared keys" makes one int per node instead. They
  search nothing, so they bound what any implementation can reach while it builds the result.
- scipy: scipy.sparse.csgraph.dijkstra on a CSR matrix built from the edges (dense n x n result),
  bare and with conversion to the same dict of dicts.
- igraph: Graph.distances (list of lists); no cutoff, so only where there is none.
- NetworKit: APSP (C++ with OpenMP), bare and with conversion; no cutoff; where it is installed.

    python3 bench/compare.py                     # full run, writes bench/results/compare-<python>.*
    python3 bench/compare.py --quick --out DIR   # tiny graphs, one round: keeps the script working
    python3 bench/compare.py --graphs random,grid100 --rounds 7

dorvane must be importable (installed, or on PYTHONPATH); numpy is required; scipy, igraph,
networkit and matplotlib are used when present. The floor helper is compiled on first use with the
interpreter's own compiler settings.
"""

import argparse
import datetime
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import numpy as np

import dorvane

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
TAG = "cp%d%d" % sys.version_info[:2]


# --- graphs -----------------------------------------------------------------------------------


def random_edges(nodes, edges, seed=12345):
    rng = random.Random(seed)
    return [(rng.randrange(nodes), rng.randrange(nodes), rng.random() or 0.5) for _ in range(edges)]


def grid_edges(width, height, seed=777):
    rng = random.Random(seed)
    edges = []
    for y in range(height):
        for x in range(width):
            node = y * width + x
            if x + 1 < width:
                edges.append((node, node + 1, rng.uniform(0.5, 1.5)))
            if y + 1 < height:
                edges.append((node, node + width, rng.uniform(0.5, 1.5)))
    return edges


def attachment_edges(nodes, per_node=3, seed=4242):
    """Preferential attachment: heavy-tailed degrees."""
    rng = random.Random(seed)
    targets = list(range(per_node))
    ends = []
    edges = []
    for node in range(per_node, nodes):
        for target in set(targets):
            edges.append((node, target, rng.random() or 0.5))
            ends += [node, target]
        targets = [rng.choice(ends) for _ in range(per_node)]
    return edges


GRAPHS = {
    "random": ("random: 2,000 nodes, 8,000 edges, U(0,1)", lambda: random_edges(2000, 8000), None),
    "grid100": ("grid 100x100, U(0.5,1.5), cutoff 8", lambda: grid_edges(100, 100), 8.0),
    "grid1000": ("grid 1000x1000, U(0.5,1.5), cutoff 3", lambda: grid_edges(1000, 1000), 3.0),
    "attachment": ("pref. attachment: 2,500 nodes", lambda: attachment_edges(2500), None),
    # Quick mode: the same kinds of graph, tiny.
    "tiny-random": ("random: 200 nodes, 800 edges", lambda: random_edges(200, 800), None),
    "tiny-grid": ("grid 10x10, cutoff 3", lambda: grid_edges(10, 10), 3.0),
}
FULL = ["random", "grid100", "grid1000"]
QUICK = ["tiny-random", "tiny-grid"]

# Above this many nodes a dense n x n matrix is not worth trying.
DENSE_LIMIT = 20000


# --- the floor helper -------------------------------------------------------------------------


def floor_module():
    """Compiles bench/floor.c for this interpreter (once) and imports it."""
    out_dir = ROOT / "build" / "bench-floor" / sysconfig.get_config_var("SOABI")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = out_dir / ("dorvane_floor" + suffix)
    source = HERE / "floor.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        out_dir.mkdir(parents=True, exist_ok=True)
        compiler = (sysconfig.get_config_var("CC") or "cc").split()
        include = sysconfig.get_paths()["include"]
        subprocess.run(
            compiler + ["-O2", "-shared", "-fPIC", "-I", include, str(source), "-o", str(target)],
            check=True,
        )
    sys.path.insert(0, str(out_dir))
    import dorvane_floor

    return dorvane_floor


def to_csr(result):
    """The distances of a dorvane result as CSR arrays, sorted as a finished distance matrix would
    be: rows by source node number, each row's columns by node number. (Rows in the result's
    own order make the floor several times slower on large sparse graphs: its shared keys are
    then met at random, out of cache.)"""
    lengths = np.fromiter((len(inner) for inner in result.values()), np.int64, len(result))
    sources = np.fromiter(result.keys(), np.uint32, len(result))
    columns = np.empty(lengths.sum(), dtype=np.uint32)
    values = np.empty(lengths.sum(), dtype=np.float64)
    at = 0
    for inner, length in zip(result.values(), lengths.tolist()):
        columns[at : at + length] = np.fromiter(inner.keys(), np.uint32, length)
        values[at : at + length] = np.fromiter(inner.values(), np.float64, length)
        at += length
    nodes = np.sort(sources)
    rows = np.searchsorted(nodes, np.repeat(sources, lengths)).astype(np.uint32)
    columns = np.searchsorted(nodes, columns).astype(np.uint32)
    order = np.lexsort((columns, rows))
    indptr = np.zeros(len(nodes) + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=len(nodes)), out=indptr[1:])
    return nodes, indptr, columns[order], values[order]


# --- peers ------------------------------------------------------------------------------------


def distinct_edges(edges):
    """The undirected edges with the last weight per pair, as dorvane keeps them."""
    last = {}
    for source, target, weight in edges:
        last[(source, target) if source <= target else (target, source)] = weight
    return last


def dense_input(edges):
    """The graph as the peers take it, made inside their timings: node numbers to dense indices,
    and the distinct edges with their last weights as index pairs."""
    last = distinct_edges(edges)
    nodes = sorted({node for pair in last for node in pair})
    index = {node: i for i, node in enumerate(nodes)}
    return nodes, [(index[a], index[b]) for a, b in last], list(last.values())


def rows_to_dicts(nodes, rows, limit):
    """A dense distance matrix as the same dict of dicts (unreachable and beyond-limit dropped)."""
    keys = np.asarray(nodes)
    key_list = keys.tolist()
    result = {}
    for source, row in zip(key_list, rows):
        row = np.asarray(row)
        keep = row <= limit
        if keep.all():
            result[source] = dict(zip(key_list, row.tolist()))
        else:
            result[source] = dict(zip(keys[keep].tolist(), row[keep].tolist()))
    return result


def scipy_methods(edges, cutoff):
    from scipy.sparse import csr_array
    from scipy.sparse.csgraph import dijkstra

    limit = np.inf if cutoff is None else cutoff

    def bare():
        nodes, pairs, weights = dense_input(edges)
        pairs = np.array(pairs, dtype=np.int64).reshape(-1, 2)
        matrix = csr_array((weights, (pairs[:, 0], pairs[:, 1])), shape=(len(nodes), len(nodes)))
        return nodes, dijkstra(matrix, directed=False, limit=limit)

    return {
        "scipy dijkstra": bare,
        "scipy dijkstra + dict": lambda: rows_to_dicts(*bare(), limit),
    }


def igraph_methods(edges, cutoff):
    import igraph

    def bare():
        nodes, pairs, weights = dense_input(edges)
        graph = igraph.Graph(n=len(nodes), edges=pairs)
        graph.es["weight"] = weights
        return graph.distances(weights="weight")

    return {"igraph distances": bare}


def networkit_methods(edges, cutoff):
    import networkit

    def run():
        nodes, pairs, weights = dense_input(edges)
        graph = networkit.Graph(len(nodes), weighted=True)
        for (a, b), weight in zip(pairs, weights):
            graph.addEdge(a, b, weight)
        apsp = networkit.distance.APSP(graph)
        apsp.run()
        return nodes, apsp

    def with_dict():
        nodes, apsp = run()
        return rows_to_dicts(nodes, apsp.getDistances(), np.inf)

    return {"NetworKit APSP": run, "NetworKit APSP + dict": with_dict}


# Each peer: what makes its methods, and whether it takes a cutoff (the others only run where
# there is none). All produce dense n x n results, so none runs where n passes DENSE_LIMIT, and a
# peer that is not installed is left out.
PEERS = [(scipy_methods, True), (igraph_methods, False), (networkit_methods, False)]


def peer_methods(edges, cutoff, nodes):
    methods = {}
    for make, takes_cutoff in PEERS:
        if nodes > DENSE_LIMIT or (cutoff is not None and not takes_cutoff):
            continue
        try:
            methods.update(make(edges, cutoff))
        except ImportError:
            pass
    return methods


# --- timing -----------------------------------------------------------------------------------


def load_other_build(path):
    """Another build of dorvane (an older one, say) from its shared library, beside the imported one."""
    from importlib.machinery import ExtensionFileLoader
    from importlib.util import module_from_spec, spec_from_loader

    loader = ExtensionFileLoader("dorvane", path)
    module = module_from_spec(spec_from_loader("dorvane", loader))
    loader.exec_module(module)
    return module


def methods_for(name, floor, other=None):
    label, make_edges, cutoff = GRAPHS[name]
    edges = make_edges()
    reference = dorvane.all_pairs_dijkstra_path_length(edges, cutoff)
    pairs = sum(len(inner) for inner in reference.values())
    csr = to_csr(reference)
    del reference
    methods = {"dorvane": lambda: dorvane.all_pairs_dijkstra_path_length(edges, cutoff)}
    if other is not None:
        methods[other[0]] = lambda: other[1].all_pairs_dijkstra_path_length(edges, cutoff)
    methods.update({
        "floor": lambda: floor.assemble(*csr, False),
        "floor, shared keys": lambda: floor.assemble(*csr, True),
    })
    methods.update(peer_methods(edges, cutoff, len(csr[0])))
    return label, len(csr[0]), pairs, methods


def interleaved(methods, rounds, collector=True):
    """Median seconds of each method over `rounds` rounds, the methods taking turns. With
    `collector` false, the cyclic garbage collector is off while a method runs."""
    times = {name: [] for name in methods}
    for _ in range(rounds):
        for name, call in methods.items():
            gc.collect()
            if not collector:
                gc.disable()
            start = time.perf_counter()
            result = call()
            times[name].append(time.perf_counter() - start)
            gc.enable()
            del result
    return {name: statistics.median(values) for name, values in times.items()}


# --- memory -----------------------------------------------------------------------------------


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def measure_memory_child(graph, method, csr_file):
    """In a fresh process: peak resident growth of one call, and what its result holds after."""
    _, make_edges, cutoff = GRAPHS[graph]
    if method == "dorvane":
        edges = make_edges()
        call = lambda: dorvane.all_pairs_dijkstra_path_length(edges, cutoff)  # noqa: E731
    else:
        floor = floor_module()
        arrays = np.load(csr_file)
        csr = tuple(arrays[key] for key in ("nodes", "indptr", "columns", "values"))
        call = lambda: floor.assemble(*csr, True)  # noqa: E731
    dorvane.all_pairs_dijkstra_path_length([(0, 1, 1.0)])  # the pool exists before measuring
    gc.collect()
    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak (VmHWM) to the current resident size
    result = call()
    peak = status_kib("VmHWM")
    after = status_kib("VmRSS")
    print(json.dumps({"peak": (peak - before) * 1024, "held": (after - before) * 1024}))
    del result


def measure_memory(graph, directory):
    _, make_edges, cutoff = GRAPHS[graph]
    reference = dorvane.all_pairs_dijkstra_path_length(make_edges(), cutoff)
    nodes, indptr, columns, values = to_csr(reference)
    del reference
    csr_file = Path(directory) / f"{graph}.npz"
    np.savez(csr_file, nodes=nodes, indptr=indptr, columns=columns, values=values)
    del nodes, indptr, columns, values
    figures = {}
    for method in ("dorvane", "floor, shared keys"):
        child = subprocess.run(
            [sys.executable, __file__, "--memory-child", graph, method, str(csr_file)],
            capture_output=True,
            text=True,
            check=True,
        )
        figures[method] = json.loads(child.stdout.strip().splitlines()[-1])
    return figures


# --- report -----------------------------------------------------------------------------------


def mib(size):
    return f"{size / 2**20:,.0f} MiB"


def markdown(runs, memory, rounds, collector):
    lines = [
        f"Python {platform.python_version()}, {os.cpu_count()} logical processors, "
        f"{platform.machine()}; {datetime.date.today().isoformat()}; medians of {rounds} "
        "interleaved rounds"
        + ("." if collector else ", the cyclic garbage collector off during each call."),
        "",
        "| graph | pairs | method | time | ÷ floor, shared keys | dorvane is faster by |",
        "|---|---|---|---|---|---|",
    ]
    for label, _, pairs, times in runs:
        floor = times["floor, shared keys"]
        for name, seconds in times.items():
            speedup = "" if name == "dorvane" else f"{seconds / times['dorvane']:.2f}×"
            lines.append(
                f"| {label} | {pairs / 1e6:.1f} M | {name} | {seconds:.3f} s | "
                f"{seconds / floor:.2f} | {speedup} |"
            )
    if memory:
        lines += [
            "",
            "Peak memory of one call, each in a fresh process (resident-set growth):",
            "",
            "| graph | method | peak | result held afterwards | peak ÷ held |",
            "|---|---|---|---|---|",
        ]
        for label, figures in memory:
            for name, sizes in figures.items():
                ratio = sizes["peak"] / sizes["held"] if sizes["held"] > 0 else float("nan")
                lines.append(
                    f"| {label} | {name} | {mib(sizes['peak'])} | {mib(sizes['held'])} | "
                    f"{ratio:.2f} |"
                )
    return "\n".join(lines) + "\n"


def chart(runs, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    figure, axes = plt.subplots(len(runs), 1, figsize=(8, 1.2 + 0.45 * sum(len(r[3]) for r in runs)))
    axes = np.atleast_1d(axes)
    for axis, (label, _, _, times) in zip(axes, runs):
        names = list(times)[::-1]
        seconds = [times[name] for name in names]
        colours = ["tab:red" if name == "dorvane" else "tab:orange" if name.startswith("dorvane") else
                   "tab:gray" if name.startswith("floor") else "tab:blue" for name in names]
        bars = axis.barh(names, seconds, color=colours)
        axis.bar_label(bars, labels=[f"{s:.2f} s" for s in seconds], padding=3, fontsize=8)
        axis.set_title(label, fontsize=10)
        axis.set_xlim(0, max(seconds) * 1.25)
        axis.tick_params(labelsize=8)
    axes[-1].set_xlabel("seconds (median; shorter is better)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny graphs, one round")
    parser.add_argument("--graphs", help="comma-separated: " + ", ".join(GRAPHS))
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--out", help="directory for the Markdown table and the chart")
    parser.add_argument("--name", help="their file name, without extension (compare-cpXY)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory table")
    parser.add_argument("--no-gc", action="store_true",
                        help="switch the cyclic garbage collector off while each method runs")
    parser.add_argument("--other", nargs=2, metavar=("LABEL", "LIBRARY"),
                        help="also time another build of dorvane, from its shared library")
    parser.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.memory_child:
        measure_memory_child(*options.memory_child)
        return

    graphs = options.graphs.split(",") if options.graphs else QUICK if options.quick else FULL
    rounds = options.rounds or (1 if options.quick else 5)
    out = Path(options.out) if options.out else HERE / "results"
    floor = floor_module()
    other = (options.other[0], load_other_build(options.other[1])) if options.other else None

    runs = []
    for graph in graphs:
        label, nodes, pairs, methods = methods_for(graph, floor, other)
        print(f"{label}: {nodes} nodes, {pairs} pairs; {', '.join(methods)}", flush=True)
        times = interleaved(methods, rounds, collector=not options.no_gc)
        for name, seconds in times.items():
            ratio = seconds / times["floor, shared keys"]
            print(f"  {name:<24} {seconds:8.3f} s   {ratio:5.2f} x floor, shared keys", flush=True)
        runs.append((label, nodes, pairs, times))
        del methods
        gc.collect()

    memory = []
    if not options.no_memory:
        with tempfile.TemporaryDirectory() as directory:
            for graph in graphs:
                figures = measure_memory(graph, directory)
                for name, sizes in figures.items():
                    print(f"  memory {graph} {name}: peak {mib(sizes['peak'])}, "
                          f"held {mib(sizes['held'])}", flush=True)
                memory.append((GRAPHS[graph][0], figures))

    out.mkdir(parents=True, exist_ok=True)
    name = options.name or f"compare-{TAG}"
    table = out / f"{name}.md"
    table.write_text(markdown(runs, memory, rounds, not options.no_gc))
    print(f"wrote {table}")
    if chart(runs, out / f"{name}.png"):
        print(f"wrote {out / f'{name}.png'}")


if __name__ == "__main__":
    main()
