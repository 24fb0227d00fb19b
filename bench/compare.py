"""dorvane side by side with its peers and with the floor of building the result at all.

What a script that computes a large result pays, in three columns:
- build: one call, warm (the process has made such calls before). Every method runs once per
  round, the methods interleaved; the table gives the median and the spread of the rounds.
- release: freeing that call's result (`del result`), timed right after each build.
- first call: the first call of a fresh process, and the release of its result, for dorvane and
  the floor (each round starts one process per method, alternating, and each process makes the
  edge list first, whatever the method), with the process's peak memory during the call and what
  the result holds afterwards (resident-set growth). Between the two, "collection" times the
  collection that the interpreter runs at the first allocation after such a call: from CPython
  3.14 on every dict is tracked, and it looks through the whole result.

Methods, all starting from the same Python list of (source, target, weight) edges:
- dorvane: all_pairs_dijkstra_path_length(edges, cutoff).
- floor: the same dict of dicts, with the same key orders, assembled with the bare C API
  (bench/floor.c) from distances computed beforehand: one shared int per node made in index
  order, every dict presized, the collector paused, the inner dicts made in index order and the
  outer dict filled in the result's own (hashed, so random) order, which any implementation must
  pay for. It searches nothing, so it bounds what laying the result out this simple way costs.
  "floor, index order" fills the outer dict in index order instead: not the same result, but the
  release of a result whose outer order follows its memory.
- scipy: scipy.sparse.csgraph.dijkstra on a CSR matrix built from the edges (dense n x n result),
  bare and with conversion to the same dict of dicts.
- igraph: Graph.distances (list of lists); no cutoff, so only where there is none.
- NetworKit: APSP (C++ with OpenMP), bare and with conversion; no cutoff; where it is installed.

    python3 bench/compare.py --out bench/results  # full run: the README's tables and chart
    python3 bench/compare.py --quick              # tiny graphs, one round: what CI runs
    python3 bench/compare.py --graphs random,grid100 --rounds 7
    python3 bench/compare.py --other "dorvane 0a30a18" OLD.so   # another build side by side

The table and the chart go to --out (build/bench-compare unless given), as compare-<python>.md
and .png. dorvane must be importable (installed, or on PYTHONPATH); numpy is required; scipy,
igraph, networkit and matplotlib are used when present. The floor helper is compiled on first use
with the interpreter's own compiler settings.
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
FLOOR = "floor"
FLOOR_INDEX = "floor, index order"


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
FULL = ["random", "attachment", "grid100", "grid1000"]
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
    if str(out_dir) not in sys.path:
        sys.path.insert(0, str(out_dir))
    import dorvane_floor

    return dorvane_floor


def to_csr(result):
    """A dorvane result as the floor takes it: `nodes` sorted, one CSR row per source in that
    (index) order, each row's entries in the result's own inner order, and `order`, the rows in
    the order of the result's outer dict."""
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
    order = np.searchsorted(nodes, sources).astype(np.uint32)
    rows = np.repeat(order, lengths)
    columns = np.searchsorted(nodes, columns).astype(np.uint32)
    by_row = np.argsort(rows, kind="stable")
    indptr = np.zeros(len(nodes) + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=len(nodes)), out=indptr[1:])
    return {"nodes": nodes, "indptr": indptr, "columns": columns[by_row],
            "values": values[by_row], "order": order}


def floor_call(floor, csr, method):
    arrays = (csr["nodes"], csr["indptr"], csr["columns"], csr["values"])
    order = csr["order"] if method == FLOOR else None
    return lambda: floor.assemble(*arrays, order)


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


def methods_for(name, floor, csr_file, other=None):
    """The graph's label, nodes, pairs and timed methods; the floor's arrays go to `csr_file`,
    for the fresh processes."""
    label, make_edges, cutoff = GRAPHS[name]
    edges = make_edges()
    reference = dorvane.all_pairs_dijkstra_path_length(edges, cutoff)
    pairs = sum(len(inner) for inner in reference.values())
    csr = to_csr(reference)
    del reference
    np.savez(csr_file, **csr)
    methods = {"dorvane": lambda: dorvane.all_pairs_dijkstra_path_length(edges, cutoff)}
    if other is not None:
        methods[other[0]] = lambda: other[1].all_pairs_dijkstra_path_length(edges, cutoff)
    methods[FLOOR] = floor_call(floor, csr, FLOOR)
    methods[FLOOR_INDEX] = floor_call(floor, csr, FLOOR_INDEX)
    methods.update(peer_methods(edges, cutoff, len(csr["nodes"])))
    return label, len(csr["nodes"]), pairs, methods


def interleaved(methods, rounds, collector=True):
    """Each method's build and release times over `rounds` rounds, the methods taking turns. With
    `collector` false, the cyclic garbage collector is off while a method runs."""
    times = {name: {"build": [], "release": []} for name in methods}
    for _ in range(rounds):
        for name, call in methods.items():
            gc.collect()
            if not collector:
                gc.disable()
            start = time.perf_counter()
            result = call()
            built = time.perf_counter()
            del result
            released = time.perf_counter()
            gc.enable()
            times[name]["build"].append(built - start)
            times[name]["release"].append(released - built)
    return times


# --- the first call of a fresh process --------------------------------------------------------


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def first_call_child(graph, method, csr_file, library):
    """In a fresh process: the first call's time, its peak resident growth, what its result holds
    afterwards, and the time to release it."""
    _, make_edges, cutoff = GRAPHS[graph]
    # Every method's process makes and holds the edge list, as a script would, the floor's too:
    # what a fault of fresh memory costs depends on what the process touched before (memory that
    # another process has just freed is cheaper to fault in on a virtual machine), and a floor
    # without the list faulted its result in up to twice as fast as it does with it.
    edges = make_edges()
    if method.startswith(FLOOR):
        call = floor_call(floor_module(), dict(np.load(csr_file)), method)
    else:
        module = load_other_build(library) if library else dorvane
        call = lambda: module.all_pairs_dijkstra_path_length(edges, cutoff)  # noqa: E731
    gc.collect()
    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak (VmHWM) to the current resident size
    start = time.perf_counter()
    result = call()
    built = time.perf_counter()
    gc.collect(0)
    collected = time.perf_counter()
    peak = status_kib("VmHWM")
    after = status_kib("VmRSS")
    start_release = time.perf_counter()
    del result
    released = time.perf_counter()
    print(json.dumps({"first": built - start, "collection": collected - built,
                      "release": released - start_release,
                      "peak": (peak - before) * 1024, "held": (after - before) * 1024}))


def first_calls(graph, methods, rounds, csr_file):
    """{method: [figures of each round]}, one fresh process per method and round, alternating."""
    figures = {name: [] for name in methods}
    for _ in range(rounds):
        for name, library in methods.items():
            child = subprocess.run(
                [sys.executable, __file__, "--first-call-child", graph, name, str(csr_file),
                 library or ""],
                capture_output=True, text=True,
            )
            if child.returncode != 0:
                sys.stderr.write(child.stderr)
                child.check_returncode()
            figures[name].append(json.loads(child.stdout.strip().splitlines()[-1]))
    return figures


# --- report -----------------------------------------------------------------------------------


def median(values):
    return statistics.median(values) if values else None


def seconds(values, spread=True):
    """The median, and the rounds' range when there are several."""
    if not values:
        return ""
    text = f"{median(values):.3f} s"
    if spread and len(values) > 1:
        text += f" ({min(values):.3f}–{max(values):.3f})"
    return text


def count(pairs):
    return f"{pairs / 1e6:.1f} M" if pairs >= 100_000 else f"{pairs:,}"


def mib(size):
    return f"{size / 2**20:,.0f} MiB"


def first_plus_release(figures):
    return [f["first"] + f["collection"] + f["release"] for f in figures]


def markdown(runs, rounds, collector):
    lines = [
        f"Python {platform.python_version()}, {os.cpu_count()} logical processors, "
        f"{platform.machine()}; {datetime.date.today().isoformat()}; {rounds} interleaved rounds"
        + ("" if collector else ", the cyclic garbage collector off during each call")
        + ": medians, with the rounds' range in brackets.",
        "",
        "build: one warm call; release: `del` of its result; first call: the first call of a fresh "
        "process, the collection that the interpreter runs at the first allocation after it (on "
        "3.14 it looks through the whole result), and the release of its result. ÷ floor: the "
        "median over the floor's "
        "(\"floor\" builds the same result from distances known beforehand: one shared int per node "
        "made in index order, every dict presized, the collector paused, the inner dicts made in "
        "index order and the outer dict filled in the result's own hashed order).",
        "",
        "| graph | pairs | method | build | build ÷ floor | release | first call | collection after "
        "it | release after it | first call + collection + release ÷ floor |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for label, _, pairs, times, firsts in runs:
        floor_build = median(times[FLOOR]["build"])
        floor_first = median(first_plus_release(firsts[FLOOR])) if FLOOR in firsts else None
        for name, figures in times.items():
            first = firsts.get(name)
            total = ""
            if first and floor_first:
                total = f"{median(first_plus_release(first)) / floor_first:.2f}"
            lines.append(
                f"| {label} | {count(pairs)} | {name} | {seconds(figures['build'])} | "
                f"{median(figures['build']) / floor_build:.2f} | "
                f"{seconds(figures['release'], spread=False)} | "
                f"{seconds([f['first'] for f in first]) if first else ''} | "
                f"{seconds([f['collection'] for f in first], spread=False) if first else ''} | "
                f"{seconds([f['release'] for f in first], spread=False) if first else ''} | {total} |"
            )
    lines += [
        "",
        "Peak memory of the first call of a fresh process (resident-set growth; medians):",
        "",
        "| graph | method | peak | result held afterwards | peak ÷ held |",
        "|---|---|---|---|---|",
    ]
    for label, _, _, _, firsts in runs:
        for name, figures in firsts.items():
            peak = median([f["peak"] for f in figures])
            held = median([f["held"] for f in figures])
            ratio = peak / held if held > 0 else float("nan")
            lines.append(f"| {label} | {name} | {mib(peak)} | {mib(held)} | {ratio:.2f} |")
    return "\n".join(lines) + "\n"


def chart(runs, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    height = 1.2 + sum(0.75 * len(run[3]) + 0.6 for run in runs)
    figure, axes = plt.subplots(len(runs), 1, figsize=(8.5, height))
    axes = np.atleast_1d(axes)
    parts = [("build (warm)", "tab:blue"), ("release", "tab:cyan"),
             ("first call of a process", "tab:red"),
             ("collection and release after it", "tab:pink")]
    for axis, (label, _, _, times, firsts) in zip(axes, runs):
        names = list(times)[::-1]
        ticks = np.arange(len(names), dtype=float)
        warm = [(median(times[n]["build"]), median(times[n]["release"])) for n in names]
        cold = [(median([f["first"] for f in firsts[n]]),
                 median([f["collection"] + f["release"] for f in firsts[n]]))
                if n in firsts else (0.0, 0.0) for n in names]
        for offset, pairs, (first_part, second_part) in (
                (0.2, warm, parts[:2]), (-0.2, cold, parts[2:])):
            build = [p[0] for p in pairs]
            release = [p[1] for p in pairs]
            axis.barh(ticks + offset, build, height=0.38, color=first_part[1], label=first_part[0])
            bars = axis.barh(ticks + offset, release, left=build, height=0.38, color=second_part[1],
                             label=second_part[0])
            axis.bar_label(bars, labels=[f"{b:.2f} + {r:.2f} s" if b else "" for b, r in pairs],
                           padding=3, fontsize=7)
        axis.set_yticks(ticks, names)
        axis.set_title(label, fontsize=10)
        longest = max(max(sum(p) for p in warm), max(sum(p) for p in cold))
        axis.set_xlim(0, longest * 1.35)
        axis.tick_params(labelsize=8)
    axes[0].legend(fontsize=7, loc="lower right")
    axes[-1].set_xlabel("seconds (medians; shorter is better)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny graphs, one round")
    parser.add_argument("--graphs", help="comma-separated: " + ", ".join(GRAPHS))
    parser.add_argument("--rounds", type=int, help="rounds of warm calls (5; 1 with --quick)")
    parser.add_argument("--first-calls", type=int,
                        help="fresh processes per method for the first call (as many as rounds)")
    parser.add_argument("--out", help="directory for the Markdown table and the chart "
                        "(build/bench-compare; bench/results for the README's)")
    parser.add_argument("--name", help="their file name, without extension (compare-cpXY)")
    parser.add_argument("--no-gc", action="store_true",
                        help="switch the cyclic garbage collector off while each method runs")
    parser.add_argument("--other", nargs=2, metavar=("LABEL", "LIBRARY"),
                        help="also time another build of dorvane, from its shared library")
    parser.add_argument("--first-call-child", nargs=4, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.first_call_child:
        first_call_child(*options.first_call_child)
        return

    graphs = options.graphs.split(",") if options.graphs else QUICK if options.quick else FULL
    rounds = options.rounds or (1 if options.quick else 5)
    first_rounds = rounds if options.first_calls is None else options.first_calls
    out = Path(options.out) if options.out else ROOT / "build" / "bench-compare"
    floor = floor_module()
    other = (options.other[0], load_other_build(options.other[1])) if options.other else None
    fresh = {"dorvane": None}
    if other is not None:
        fresh[other[0]] = os.path.abspath(options.other[1])
    fresh[FLOOR] = None

    runs = []
    with tempfile.TemporaryDirectory() as directory:
        for graph in graphs:
            csr_file = Path(directory) / f"{graph}.npz"
            label, nodes, pairs, methods = methods_for(graph, floor, csr_file, other)
            print(f"{label}: {nodes} nodes, {pairs} pairs; {', '.join(methods)}", flush=True)
            times = interleaved(methods, rounds, collector=not options.no_gc)
            del methods
            gc.collect()
            firsts = first_calls(graph, fresh, first_rounds, csr_file) if first_rounds else {}
            floor_build = median(times[FLOOR]["build"])
            for name, figures in times.items():
                print(f"  {name:<24} build {seconds(figures['build']):<26} "
                      f"{median(figures['build']) / floor_build:5.2f} x floor   "
                      f"release {seconds(figures['release'])}", flush=True)
            for name, figures in firsts.items():
                print(f"  {name:<24} first call {seconds([f['first'] for f in figures])}, "
                      f"collection {seconds([f['collection'] for f in figures])}, "
                      f"release {seconds([f['release'] for f in figures])}, peak "
                      f"{mib(median([f['peak'] for f in figures]))}, held "
                      f"{mib(median([f['held'] for f in figures]))}", flush=True)
            runs.append((label, nodes, pairs, times, firsts))

    out.mkdir(parents=True, exist_ok=True)
    name = options.name or f"compare-{TAG}"
    table = out / f"{name}.md"
    table.write_text(markdown(runs, rounds, not options.no_gc))
    print(f"wrote {table}")
    if chart(runs, out / f"{name}.png"):
        print(f"wrote {out / f'{name}.png'}")


if __name__ == "__main__":
    main()
