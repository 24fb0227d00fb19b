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

# The parent waits for its child, and kills it if it hangs.
EPILOGUE = r"""
if children[0] > 0:
    deadline = time.monotonic() + 60
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
    outcome = python_subprocess(PROLOGUE + body + EPILOGUE, timeout=300)
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
