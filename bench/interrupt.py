"""How soon Ctrl-C interrupts a long call: the time from SIGINT to KeyboardInterrupt in the caller.

A child process starts a call of several seconds; this process sends it SIGINT at a random moment
of it (during the searches and the assembly of the result) and the child reports when the
KeyboardInterrupt reached its `except` clause. Both read the same clock (time.time()).

    python3 bench/interrupt.py [signals]
"""

import random
import signal
import statistics
import subprocess
import sys
import time

CHILD = r"""
import random, sys, time
import dorvane
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


def one(delay):
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.time()
    child.send_signal(signal.SIGINT)
    words = child.stdout.readline().split()
    child.wait()
    if words[0] != "interrupted":
        return None
    return float(words[1]) - sent


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    rng = random.Random(1)
    latencies = []
    for _ in range(count):
        latency = one(rng.uniform(0.05, 1.0))
        if latency is not None:
            latencies.append(latency * 1000)
    latencies.sort()
    print(f"{len(latencies)} of {count} calls interrupted; SIGINT to KeyboardInterrupt: "
          f"median {statistics.median(latencies):.1f} ms, max {latencies[-1]:.1f} ms")


if __name__ == "__main__":
    main()
