"""How soon a signal interrupts a long call, and how the interrupted call's partial result is
released afterwards.

Two measurements, each call in a fresh child process:

- sigint: this process sends SIGINT to a child at a random moment of a call of several seconds
  (during the searches and the assembly of the result); the child reports when the
  KeyboardInterrupt reached its `except` clause. Both read the same clock (time.time()).
- large: a child times one whole call over a graph whose partial result is large, then repeats
  it with a SIGALRM handler that raises at 70% of that time. It reports the time from the
  handler's raise to the first statement of the `except` block, the gap between the first two
  statements of that block, and then, while a loop of Python code runs, the longest stretch in
  which the loop did not get to run (the release of the partial result holding the interpreter),
  how many stretches were longer than 5 ms, and how long until the partial result was all gone.
  Graphs: "pairs", 1.5 M separate edges with cutoff 0 (3 M sources, about four blocks of memory
  each), and "grid", the 1000x1000 grid of bench/compare.py with cutoff 3 (23.5 M pairs). A call
  that had nothing left to release when its except block ran (the signal came as it ended) does
  not count.

    python3 bench/interrupt.py [N]      # sigint, N calls (20)
    python3 bench/interrupt.py large [--trials N] [--graphs pairs,grid] [--verbose]
    python3 bench/interrupt.py all
"""

import argparse
import json
import random
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

SIGINT_CHILD = r"""
import random, signal, sys, time
import dorvane
# Started from a shell's background job, the interpreter inherits SIGINT ignored: ask for Ctrl-C.
signal.signal(signal.SIGINT, signal.default_int_handler)
F = dorvane.all_pairs_dijkstra_path_length
rng = random.Random(5)
nodes = 4000
edges = [(rng.randrange(nodes), rng.randrange(nodes), rng.random() + 0.01) for _ in range(4 * nodes)]
F([(0, 1, 1.0)])
print("ready", flush=True)
try:
    F(edges)
    print("completed", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.time(), flush=True)
"""

# The benchmark graphs are compare.py's, imported by the child from this folder.
HERE = Path(__file__).resolve().parent

LARGE_CHILD = r"""
import gc, json, signal, sys, time
import dorvane
sys.path.insert(0, sys.argv[2])
from compare import grid_edges
F = dorvane.all_pairs_dijkstra_path_length
clock = time.perf_counter

if sys.argv[1] == "pairs":
    edges, cutoff = [(2 * i, 2 * i + 1, 1.0) for i in range(1_500_000)], 0.0
else:
    edges, cutoff = grid_edges(1000, 1000), 3.0
F([(0, 1, 1.0)])
gc.collect()
gc.freeze()  # the edges stay: no collection needs to look at them again
start = clock()
result = F(edges, cutoff)
whole = clock() - start
del result
blocks = sys.getallocatedblocks()

class Stop(Exception):
    pass

raised = []
def handler(signum, frame):
    raised.append(clock())
    raise Stop

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.7 * whole)
try:
    F(edges, cutoff)
    print(json.dumps({"completed": True}))
    sys.exit()
except Stop:
    first = clock()
    second = clock()
left = sys.getallocatedblocks() - blocks

# Python code runs while the partial result is released: every stretch in which this loop did
# not get to run is the release (or something else) holding the interpreter. A stretch counts
# with the lesser of its wall-clock and this thread's processor time: on a busy machine the
# system runs other processes meanwhile (wall time, not processor time) and a virtual machine's
# processor time can jump (not wall time); holding the interpreter takes both.
cpu = time.thread_time
holds = []
previous, previous_cpu = clock(), cpu()
deadline = previous + 30
i = 0
while True:
    now, now_cpu = clock(), cpu()
    stretch = min(now - previous, now_cpu - previous_cpu)
    if stretch > 0.0005:
        holds.append(stretch)
    previous, previous_cpu = now, now_cpu
    i += 1
    if i % 5000 == 0:
        # Counting the blocks takes a millisecond or two itself: not a stretch of the release.
        if sys.getallocatedblocks() - blocks < 1000 or now > deadline:
            break
        previous, previous_cpu = clock(), cpu()
done = clock()
print(json.dumps({
    "completed": False,
    "whole": whole,
    "raise_to_except": first - raised[0],
    "except_gap": second - first,
    "left": left,
    "longest_hold": max(holds, default=0.0),
    "holds_over_5ms": sum(1 for hold in holds if hold > 0.005),
    "release": done - first,
}))
"""


def sigint_one(delay):
    child = subprocess.Popen([sys.executable, "-c", SIGINT_CHILD], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.time()
    child.send_signal(signal.SIGINT)
    words = child.stdout.readline().split()
    child.wait()
    if words[0] != "interrupted":
        return None
    return float(words[1]) - sent


def sigint(count):
    rng = random.Random(1)
    latencies = []
    for _ in range(count):
        latency = sigint_one(rng.uniform(0.05, 1.0))
        if latency is not None:
            latencies.append(latency * 1000)
    latencies.sort()
    print(f"{len(latencies)} of {count} calls interrupted; SIGINT to KeyboardInterrupt: "
          f"median {statistics.median(latencies):.1f} ms, max {latencies[-1]:.1f} ms")


def large(graphs, trials, verbose=False):
    runs = {graph: [] for graph in graphs}
    # Interleaved, so that the graphs share the machine's noise.
    for _ in range(trials):
        for graph in graphs:
            out = subprocess.run([sys.executable, "-c", LARGE_CHILD, graph, str(HERE)],
                                 capture_output=True, text=True, check=True).stdout
            run = json.loads(out.splitlines()[-1])
            if verbose:
                print(graph, run, flush=True)
            # Nothing left to release: the signal came as the call ended, not during it.
            if not run["completed"] and run["left"] >= 1000:
                runs[graph].append(run)
    for graph, done in runs.items():
        if not done:
            print(f"{graph}: no call was interrupted")
            continue

        def ms(key):
            values = [run[key] * 1000 for run in done]
            return f"{min(values):.0f}-{max(values):.0f} ms"

        print(f"{graph}: {len(done)} interrupted calls of {done[0]['whole']:.2f} s; "
              f"raise to except {ms('raise_to_except')}; first two statements of except "
              f"{ms('except_gap')}; longest hold while released {ms('longest_hold')} "
              f"({max(run['holds_over_5ms'] for run in done)} over 5 ms at most); "
              f"all released after {ms('release')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", nargs="?", default="sigint",
                        help="sigint (the default), large, all, or a number: sigint with that "
                             "many calls")
    parser.add_argument("--trials", type=int, default=None,
                        help="calls per measurement (sigint: 20, large: 3 per graph)")
    parser.add_argument("--graphs", default="pairs,grid")
    parser.add_argument("--verbose", action="store_true", help="print every interrupted call")
    args = parser.parse_args()
    what, trials = args.what, args.trials
    if what.isdigit():
        what, trials = "sigint", int(what)
    if what not in ("sigint", "large", "all"):
        parser.error(f"unknown measurement {what!r}")
    if what in ("sigint", "all"):
        sigint(trials or 20)
    if what in ("large", "all"):
        large(args.graphs.split(","), trials or 3, args.verbose)


if __name__ == "__main__":
    main()
