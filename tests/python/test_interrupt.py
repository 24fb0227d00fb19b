"""Ctrl-C during a long call: the handler's exception comes out, and everything else stays sound.

Each test runs in a fresh interpreter that arranges for a second process to send it SIGINT while
its call runs. The call keeps the interpreter lock throughout, so no thread of its own could send
the signal at the right time.
"""

import sys

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")

PROLOGUE = r"""
import gc, os, random, signal, subprocess, sys, time
import dorvane

F = dorvane.all_pairs_dijkstra_path_length

def tasks():
    return len(os.listdir("/proc/self/task"))

def long_call_edges(nodes=3500):
    # About 12 million pairs: seconds of searching and assembly, far longer than the delay below.
    rng = random.Random(5)
    return [(rng.randrange(nodes), rng.randrange(nodes), rng.random() + 0.01)
            for _ in range(4 * nodes)]

def interrupt_after(seconds):
    # A second process sends the signal: the call holds the interpreter lock, so no thread of
    # ours would run in time. Its delay counts from when it is ready, not from when it was asked
    # to start, which takes long on a busy machine: the call must still be running.
    killer = subprocess.Popen([sys.executable, "-c",
        f"import os, signal, time; print(flush=True); time.sleep({seconds}); "
        f"os.kill({os.getpid()}, signal.SIGINT)"], stdout=subprocess.PIPE)
    killer.stdout.readline()
    return killer

def released(blocks, threads):
    # What an interrupted call had built is released in slices while Python code runs, and the
    # thread that paces them ends with the last one.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for _ in range(10000):
            pass
        gc.collect()
        # A small allowance for the interpreter's own caches.
        if abs(sys.getallocatedblocks() - blocks) < 1000 and tasks() == threads:
            return True
    return False

F([(0, 1, 1.0), (1, 2, 1.0)])  # the pool exists before anything is counted
edges = long_call_edges()
"""


def run(python_subprocess, body):
    result = python_subprocess(PROLOGUE + body, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_ctrl_c_interrupts_a_long_call_and_leaves_the_module_working(python_subprocess):
    out = run(
        python_subprocess,
        r"""
gc.collect()
blocks, threads = sys.getallocatedblocks(), tasks()
killer = interrupt_after(0.3)
try:
    F(edges)
    print("completed")
except KeyboardInterrupt:
    print("interrupted")
killer.wait()
# Everything the call made is gone, the workers are all still there, and the next call works.
print(released(blocks, threads))
print(F([(1, 2, 0.5), (2, 3, 0.25)]) == {1: {1: 0.0, 2: 0.5, 3: 0.75},
                                           2: {2: 0.0, 1: 0.5, 3: 0.25},
                                           3: {3: 0.0, 2: 0.25, 1: 0.75}})
print(len(F(edges[:4000], 0.05)) > 0)
""",
    )
    assert out == ["interrupted", "True", "True", "True"]


def test_the_handlers_own_exception_comes_out(python_subprocess):
    out = run(
        python_subprocess,
        r"""
class Stop(Exception):
    pass

def handler(signum, frame):
    raise Stop("stopped by the handler")

signal.signal(signal.SIGINT, handler)
killer = interrupt_after(0.3)
try:
    F(edges)
    print("completed")
except Stop as error:
    print(type(error).__name__, error.__cause__ is None)
killer.wait()
""",
    )
    assert out == ["Stop", "True"]


def test_a_handler_that_returns_lets_the_call_finish(python_subprocess):
    out = run(
        python_subprocess,
        r"""
seen = []
def handler(signum, frame):
    seen.append(signum)
    gc.disable()  # the program's last word on the collector, which the call must keep
signal.signal(signal.SIGINT, handler)
smaller = [(s % 1500, t % 1500, w) for s, t, w in edges[:6000]]
killer = interrupt_after(0.1)
result = F(smaller)
killer.wait()
time.sleep(0.5)  # in case the call was done before the signal came
print(seen == [signal.SIGINT], result == F(smaller), gc.isenabled())
""",
    )
    assert out == ["True", "True", "False"]


def test_forked_children_release_their_copies_and_all_exit_cleanly(python_subprocess):
    # The thread that paces the release does not come along into a child: the child must pace
    # its own. The forks come while the parent's thread queues its slices, which must leave each
    # child the interpreter's queue of pending calls whole. The parent then exits with most of its
    # partial result still waiting, which must stop that thread before the interpreter is torn
    # down.
    result = python_subprocess(
        PROLOGUE
        + r"""
import warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads: meant here
# Of the threads, only the forking one comes along, beside any an emulator keeps for itself.
r, w = os.pipe()
if (pid := os.fork()) == 0:
    os.write(w, str(tasks()).encode())
    os._exit(0)
os.waitpid(pid, 0)
alone = int(os.read(r, 16))
gc.collect()
blocks = sys.getallocatedblocks()
killer = interrupt_after(0.3)
try:
    F(edges)
except KeyboardInterrupt:
    killer.wait()
    killer.stdout.close()
    children = []
    for _ in range(3):
        if (pid := os.fork()) == 0:
            sys.exit(0 if released(blocks, alone) else 1)
        children.append(pid)
        for _ in range(20000):  # the parent's slices run meanwhile
            pass
    print("parent", *(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children))
""",
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout.split() == ["parent", "0", "0", "0"]


# One processor for two workers: the calling thread then has none to spare and runs searches
# itself, and the workers, made to yield to it, leave it most of them. The handler raises the
# module's own panic type once the keys are made and nothing was allocated since its last run:
# the calling thread is searching then, not building dicts, and the exception used to be taken
# for that search's own failure, resumed there (a banner), and the call went on.
PANIC_HANDLER_SCRIPT = r"""
import os, signal, sys, threading
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import dorvane
F = dorvane.all_pairs_dijkstra_path_length
try:
    F([(4, 4, -1.0)])
except BaseException as error:
    Panic = type(error)
for task in os.listdir("/proc/self/task"):
    if int(task) != threading.get_native_id():
        os.setpriority(os.PRIO_PROCESS, int(task), 19)
n = 1200
edges = [(i, j, 1.0 + (i * j) % 7) for i in range(n) for j in range(i + 1, n)]

def handler(signum, frame):
    global last
    if armed:
        blocks = sys.getallocatedblocks()
        searching = blocks > base + n and abs(blocks - last) < 100
        last = blocks
        if searching:
            raise Panic("from the handler")

armed = False
signal.signal(signal.SIGALRM, handler)
for _ in range(3):
    base = last = sys.getallocatedblocks()
    armed = True
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        F(edges)
        print("completed")
    except BaseException as error:
        armed = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(type(error) is Panic, str(error))
"""


def test_a_handler_raising_the_panic_type_stops_the_call_with_one_diagnostic(python_subprocess):
    run = python_subprocess(PANIC_HANDLER_SCRIPT, env={"DORVANE_NUM_THREADS": "2"})
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["True from the handler"] * 3
    # The negative edge that produced the class, then one resumption per call, each with its
    # traceback. (The handler may still raise while the traceback is printed, which the
    # interpreter then reports as it sees fit: that is not the call's.)
    assert run.stderr.count("panicked at") == 1
    assert run.stderr.count("--- dorvane is resuming a panic") == 3, run.stderr
