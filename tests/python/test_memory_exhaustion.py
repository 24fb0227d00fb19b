"""Running out of memory during a call ends in one of the documented outcomes, never silently."""

import functools
import os
import re
import signal
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

# Measures its own address space, after a warm-up call (which creates the pool and does not panic)
# when WARM is set, caps it at that plus HEADROOM_KIB, makes one call, lifts the cap, and prints
# the call's outcome and whether the module still works (or what the next call raises instead).
CHILD = """
import os, random, resource
import dorvane
F = dorvane.all_pairs_dijkstra_path_length

def address_space_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1])

# Node numbers above the small-int cache, so the result's keys are new objects too.
rng = random.Random(1)
edges = [(1000 + i, 1001 + i, 1.0) for i in range(199)]
edges += [(1000 + rng.randrange(200), 1000 + rng.randrange(200), rng.uniform(1.0, 2.0))
          for _ in range(2000)]
if os.environ["WARM"]:
    F([(1, 2, 1.0), (2, 3, 1.0), (3, 4, 1.0)])
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
limit = (address_space_kib() + int(os.environ["HEADROOM_KIB"])) * 1024
if hard != resource.RLIM_INFINITY:
    limit = min(limit, hard)
resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
try:
    outcome = "result" if len(F(edges)) == 200 else "wrong result"
except BaseException as error:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    outcome = type(error).__name__ + ": " + str(error)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(outcome)
try:
    print(F([(1, 2, 0.5)]) == {1: {1: 0.0, 2: 0.5}, 2: {2: 0.0, 1: 0.5}})
except BaseException as error:
    print(type(error).__name__ + ": " + str(error))
"""

# Two workers, and one malloc arena: a thread's own arena reserves 64 MiB of address space up
# front, inside which the cap would never bite, so the workers' allocations would escape it.
CHILD_ENV = {"DORVANE_NUM_THREADS": "2", "MALLOC_ARENA_MAX": "1"}

# Written by whichever thread runs out; it can land in the middle of a line the calling thread was
# printing, so it is looked for anywhere, not as a line of its own.
NATIVE_EXHAUSTION = re.compile(r"memory allocation of \d+ bytes failed(?:\n|$)")
# The lines of the interpreter's report of a MemoryError, in whichever form it manages to print.
INTERPRETER_REPORT = re.compile(
    r"|MemoryError.*|Traceback .*|  .*|lost sys\.stderr|Exception ignored .*"
    r"|object (address|refcount|type|type name|repr) *:.*"
)
API_CALL_DIAGNOSTIC = re.compile(
    r"dorvane: thread \d+ panicked at [^\n]+:\d+:\d+:\nPython API call failed(\n|$)"
)
# Starting the pool's threads failed: the first call says why, every later one that it failed.
POOL_NOT_CREATED = "PanicException: The global thread pool has not been initialized.: "
POOL_FAILED = re.compile(
    re.escape(POOL_NOT_CREATED)
    + r"ThreadPoolBuildError \{ kind: IOError\(Os \{ code: \d+, kind: (WouldBlock|OutOfMemory), "
    r'message: "[^"]+" \}\) \}'
)
POOL_REMEMBERED = POOL_NOT_CREATED + "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }"
API_CALL_FAILED = re.compile(
    r"(?P<printed>(?s:.*)MemoryError(?s:.*))"
    r"dorvane: thread \d+ panicked at [^\n]+:\d+:\d+:\nPython API call failed\n"
)


def outcome_of(run_python, warm, extra_kib):
    """Runs the child with `extra_kib` of headroom: "result", "python" (MemoryError, or the panic
    after a failed constructor), "native" (the message and an abort) or "pool" (the pool's threads
    could not start). Anything else fails."""
    env = dict(CHILD_ENV, WARM="1" if warm else "", HEADROOM_KIB=str(extra_kib))
    run = run_python(CHILD, env=env, timeout=60)
    where = f"with {extra_kib} KiB to spare: exit {run.returncode}\n{run.stdout}{run.stderr}"
    if run.returncode == -signal.SIGABRT:
        # Workers that run out at once each write the message before the process ends.
        pieces = NATIVE_EXHAUSTION.split(run.stderr)
        assert len(pieces) > 1, where
        # What precedes a message on its line is a line of the interpreter's, cut short.
        cut = [piece.rpartition("\n") for piece in pieces[:-1]]
        assert not any("dorvane" in cut_line for _, _, cut_line in cut), where
        rest = "\n".join([whole for whole, _, _ in cut] + pieces[-1:])
        # The calling thread builds the result while the workers search, so it may have run out
        # of memory at the same moment and been reporting that when the process ended: the
        # interpreter's report of the MemoryError (cut short anywhere), then perhaps the panic's
        # diagnostic. Nothing else.
        others = API_CALL_DIAGNOSTIC.sub("", rest)
        assert all(INTERPRETER_REPORT.fullmatch(line) for line in others.splitlines()), where
        return "native"
    assert run.returncode == 0, where
    outcome, still_working = run.stdout.splitlines()
    if POOL_FAILED.fullmatch(outcome):
        assert not warm and still_working == POOL_REMEMBERED, where
        # Each of the two panics wrote its one diagnostic.
        diagnostic = r"dorvane: thread \d+ panicked at [^\n]+:\d+:\d+:\n"
        expected = diagnostic + re.escape(outcome[len("PanicException: ") :] + "\n")
        expected += diagnostic + re.escape(POOL_REMEMBERED[len("PanicException: ") :] + "\n")
        assert re.fullmatch(expected, run.stderr), where
        return "pool"
    assert still_working == "True", where
    if outcome == "result":
        assert run.stderr == "", where
        return "result"
    if outcome.startswith("MemoryError"):
        assert run.stderr == "", where
        return "python"
    assert outcome == "PanicException: Python API call failed", where
    printed = API_CALL_FAILED.fullmatch(run.stderr)
    assert printed and "dorvane" not in printed["printed"], where
    return "python"


def sanitizer_preloaded():
    return "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or sanitizer_preloaded(),
    reason="needs Linux's address-space limit, which the sanitizers' allocators cannot live with",
)
@pytest.mark.emulation_unsafe("qemu-user ignores the address-space limit, so nothing runs out")
@pytest.mark.parametrize("warm", [True, False], ids=["pool made first", "pool made under the cap"])
def test_exhausted_address_space_ends_in_a_documented_outcome(python_subprocess, warm):
    workers = min(4, os.cpu_count() or 1)
    outcome_at = functools.partial(outcome_of, python_subprocess, warm)
    outcomes = {}
    with ThreadPoolExecutor(workers) as pool:
        # Fine steps over the first MiB, where the edges are converted, the graph is built and the
        # searches run (a few hundred KiB each here).
        fine = range(0, 1024, 32)
        outcomes.update(zip(fine, pool.map(outcome_at, fine)))
        # Coarser ones through the result's assembly, until the call succeeds three times in a row.
        extra = 1024
        while True:
            batch = [extra + 64 * i for i in range(2 * workers)]
            outcomes.update(zip(batch, pool.map(outcome_at, batch)))
            extra = batch[-1] + 64
            top = [outcomes[key] for key in sorted(outcomes)[-3:]]
            if top == ["result"] * 3:
                break
            assert extra < 256 * 1024, "the call never succeeded"
    seen = set(outcomes.values())
    # The sweep reached every kind of failure: native memory, and Python objects; and, with the
    # pool made under the cap, its threads' start.
    assert {"native", "python", "result"} | ({"pool"} if not warm else set()) <= seen, sorted(
        outcomes.items()
    )
