"""os.fork() from a signal handler while a call runs: the child, which has none of the parent's
worker threads, finishes the call by itself (or is interrupted like any call) and never hangs."""

import sys

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX fork and signals")

PROLOGUE = r"""
import os, random, signal, sys, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
import dorvane

F = dorvane.all_pairs_dijkstra_path_length
rng = random.Random(11)
edges = [(rng.randrange(1500), rng.randrange(1500), rng.random() + 0.01) for _ in range(6000)]
small = [(0, 1, 1.0), (1, 2, 2.0)]
small_result = F(small)
started = time.monotonic()
reference = F(edges)
took = time.monotonic() - started

children = []
def fork_once(signum, frame):
    if not children:
        children.append(os.fork())
signal.signal(signal.SIGALRM, fork_once)
signal.setitimer(signal.ITIMER_REAL, took / 3)
"""

# The parent waits for its child, and kills it if it hangs: after four minutes, since under
# emulation on a busy machine the child's two calls alone can take one.
EPILOGUE = r"""
if children[0] > 0:
    deadline = time.monotonic() + 240
    while True:
        pid, status = os.waitpid(children[0], os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            os.kill(children[0], signal.SIGKILL)
            status = "hung"
            break
        time.sleep(0.01)
    print("child", status, "parent", result == reference)
"""


def run(python_subprocess, body):
    outcome = python_subprocess(PROLOGUE + body + EPILOGUE, timeout=600)
    assert outcome.returncode == 0, outcome.stderr
    return outcome.stdout.split()


def test_the_child_finishes_the_call_it_was_forked_in(python_subprocess):
    out = run(
        python_subprocess,
        r"""
result = F(edges)
if children[0] == 0:
    # Every distance as the parent computes it, and a fresh pool for the next calls.
    os._exit(0 if result == reference and F(small) == small_result and F(edges) == reference
             else 1)
""",
    )
    assert out == ["child", "0", "parent", "True"]


def test_an_interrupted_child_stops_its_call_and_goes_on(python_subprocess):
    out = run(
        python_subprocess,
        r"""
def fork_then_interrupt_the_child(signum, frame):
    if children:
        raise KeyboardInterrupt  # the second alarm, which only the child sets
    children.append(os.fork())
    if children[0] == 0:
        signal.setitimer(signal.ITIMER_REAL, took / 10)
signal.signal(signal.SIGALRM, fork_then_interrupt_the_child)
try:
    result = F(edges)
    if children[0] == 0:
        os._exit(2)
except KeyboardInterrupt:
    os._exit(0 if F(small) == small_result else 1)
""",
    )
    assert out == ["child", "0", "parent", "True"]


# The complete graph on 3,500 nodes, made edge by edge as the call reads it: each search relaxes
# twelve million arcs, tens of milliseconds, longer than the calling thread goes between two looks
# at pending signals, while its result is small.
LONG_SEARCHES = r"""
import os, signal, sys, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
import dorvane

F = dorvane.all_pairs_dijkstra_path_length

class Complete:
    def __init__(self, n):
        self.n = n
    def __len__(self):
        return self.n * (self.n - 1) // 2
    def __getitem__(self, i):
        raise IndexError(i)
    def __iter__(self):
        n = self.n
        return ((i, j, 1.0 + (i * 7919 + j) % 13) for i in range(n) for j in range(i + 1, n))

edges = Complete(3500)
started = time.monotonic()
F(edges, 0.0)  # the same conversion and graph, and searches that end at once
searching = time.monotonic() - started + 0.5

def fork_then_interrupt_the_child(signum, frame):
    if os.getpid() != parent:
        raise KeyboardInterrupt  # the child's own alarm
    pid = os.fork()
    if pid == 0:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        return
    # The parent waits for the child (and kills it if it hangs), and leaves its own call.
    deadline = time.monotonic() + 60
    while not (done := os.waitpid(pid, os.WNOHANG))[0]:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            print("hung", flush=True)
            os._exit(1)
        time.sleep(0.01)
    print("child", done[1], flush=True)
    os._exit(0)

parent = os.getpid()
signal.signal(signal.SIGALRM, fork_then_interrupt_the_child)
signal.setitimer(signal.ITIMER_REAL, searching)
try:
    F(edges)
except KeyboardInterrupt:
    os._exit(0 if F([(0, 1, 1.0)]) == {0: {0: 0.0, 1: 1.0}, 1: {1: 0.0, 0: 1.0}} else 2)
os._exit(3)
"""


@pytest.mark.emulation_unsafe("converting millions of edges twice takes minutes under emulation")
def test_a_child_interrupted_inside_its_searches_stops_its_call(python_subprocess):
    # The child runs every search on its calling thread: the handler's exception stops the one it
    # lands in, which is then never handed on as finished, and the call raises it at once.
    run = python_subprocess(LONG_SEARCHES, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["child", "0"]
