"""Many Python threads calling at once."""

import random
import threading

import pytest


def graph(seed):
    rng = random.Random(seed)
    n = rng.randrange(20, 120)
    return [(rng.randrange(n), rng.randrange(n), rng.uniform(0.1, 10.0)) for _ in range(3 * n)]


def test_concurrent_calls_get_their_own_results(apsp):
    inputs = [(graph(seed), None if seed % 3 else 5.0) for seed in range(12)]
    expected = [apsp(edges, cutoff) for edges, cutoff in inputs]
    panic_type = []
    outcomes = {}
    barrier = threading.Barrier(8)

    def worker(index):
        barrier.wait()
        for round_ in range(6):
            which = (index + round_) % len(inputs)
            if (index + round_) % 4 == 0:
                # Interleave failures with the successful calls of the other threads.
                try:
                    apsp(inputs[which][0] + [(0, 1, -5.0)])
                except BaseException as error:  # noqa: B036
                    panic_type.append(type(error).__name__)
                    continue
            outcomes[(index, round_)] = (which, apsp(*inputs[which]))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert len(outcomes) + len(panic_type) == 8 * 6
    assert set(panic_type) == {"PanicException"}
    for which, result in outcomes.values():
        assert result == expected[which]


@pytest.mark.parametrize("count", [2, 16])
def test_threads_calling_with_shared_inputs(apsp, count):
    edges = graph(99)
    expected = apsp(edges)
    results = [None] * count

    def worker(index):
        results[index] = apsp(edges)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected for result in results)


# A signal handler that hands the interpreter lock over (any Python handler may: a sleep, I/O, or
# just running past the switch interval) lets a second thread call while the first call, which
# had a worker of the two sit it out, waits for the lock. The second call must still get a worker.
TWO_CALLERS = r"""
import random, signal, threading, time, dorvane
F = dorvane.all_pairs_dijkstra_path_length
r = random.Random(2)
big = [(r.randrange(4000), r.randrange(4000), r.random() + .01) for _ in range(16000)]
side = [(i, i + 1, 1.0) for i in range(1023)]  # 1,024 sources: long enough to park a worker too
go = threading.Event()
thread = threading.Thread(target=lambda: (go.wait(), F(side), print("side ok")))
thread.start()
def handler(*_):
    go.set()
    time.sleep(0.01)
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.5)
F(big)
print("main ok")
go.set()
thread.join()
"""


@pytest.mark.emulation_unsafe("the first call's 16 million pairs take minutes under emulation")
def test_a_second_threads_call_during_a_handler_gets_a_worker(python_subprocess):
    run = python_subprocess(TWO_CALLERS, env={"DORVANE_NUM_THREADS": "2"}, timeout=120)
    assert run.returncode == 0, run.stderr
    assert sorted(run.stdout.split()) == ["main", "ok", "ok", "side"]


# The worst interleaving at hand: threads calling one after the other (sources below and above the
# count at which a call parks a worker), while the main thread, itself calling, runs a handler
# every few milliseconds that hands the interpreter lock over, calls in again, and once forks a
# child that calls too.
STORM = r"""
import os, random, signal, threading, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
import dorvane
F = dorvane.all_pairs_dijkstra_path_length

def graph(seed, n):
    rng = random.Random(seed)
    return [(rng.randrange(n), rng.randrange(n), rng.random() + 0.01) for _ in range(2 * n)]

# The last graph is large enough that its tables are made on the pool too; its cutoff keeps the
# searches short.
inputs = [(graph(seed, n), None) for seed, n in enumerate([30, 700, 1100, 1300])]
inputs.append((graph(4, 70000), 0.0))
expected = [F(*call) for call in inputs]
deadline = time.monotonic() + 2
wrong = []

# The handler lets the others in: most of their calls start while the main thread's call waits.
# The main thread never waits on `go` itself: its handler, run between any two of its bytecodes,
# would then find `go`'s lock held by the code it interrupted, and wait for itself.
go = threading.Event()

def calls(first, wait=True):
    i = first
    while time.monotonic() < deadline:
        if wait:
            go.wait(0.05)
        i = (i + 1) % len(inputs)
        if F(*inputs[i]) != expected[i]:
            wrong.append(i)

children = []
in_handler = False
def handler(signum, frame):
    global in_handler
    if in_handler:
        return
    in_handler = True
    go.set()
    time.sleep(0.002)
    go.clear()
    if F(*inputs[0]) != expected[0]:
        wrong.append("nested")
    if not children and time.monotonic() > deadline - 1:
        pid = os.fork()
        if pid == 0:
            os._exit(0 if F(*inputs[2]) == expected[2] else 1)
        children.append(pid)
    in_handler = False

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
threads = [threading.Thread(target=calls, args=(k,)) for k in range(3)]
try:
    for thread in threads:
        thread.start()
    calls(3, wait=False)
finally:
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, signal.SIG_IGN)  # nor may a late one meet the go.set() below
go.set()
for thread in threads:
    thread.join()
print(wrong, os.waitpid(children[0], 0)[1] if children else "no fork")
"""


@pytest.mark.emulation_unsafe("a handler every 10 ms that itself calls leaves an emulated main "
                              "thread no time for its own call")
@pytest.mark.parametrize("workers", ["1", "2", "3"])
def test_threads_calling_while_handlers_call_in_and_fork(python_subprocess, workers):
    run = python_subprocess(STORM, env={"DORVANE_NUM_THREADS": workers}, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["[]", "0"]
