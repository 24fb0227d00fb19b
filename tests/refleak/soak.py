"""Soak: many mixed calls, with the process's resident memory, threads and descriptors flat.

Cycles through every kind of call the module meets (successes with and without cutoffs, binding
errors, conversion errors, errors raised by the caller's hooks, panics, calls nested in a hook,
calls from short-lived threads), first to warm up (the worker pool, the allocators' arenas, the
first-use caches), then for the measured calls, sampling after every tenth of them. Fails when
the resident set grows by more than TOLERANCE_BYTES over the measured calls, or when the number
of threads or of open file descriptors changes at all.

    PYTHONPATH=BUILD python3 tests/refleak/soak.py [--calls 10000] [--warmup 1000]

The panics' diagnostics and the interpreter's printing of errors go to /dev/null while it runs.
"""

import argparse
import gc
import math
import os
import random
import sys
import threading

import dorvane

apsp = dorvane.all_pairs_dijkstra_path_length

# The growth of the resident set allowed over the measured calls: room for the allocators to
# settle (one more arena of the interpreter's allocator), while a leak of 105 bytes per call over
# 10,000 calls passes it.
TOLERANCE_BYTES = 1024 * 1024


class HookError(Exception):
    pass


class Hook:
    """A node number or weight whose conversion hook raises a fresh `kind`(message), or calls
    the function. (Raising one instance again and again would grow its traceback.)"""

    def __init__(self, kind=None, message="", nested=False):
        self.kind, self.message, self.nested = kind, message, nested

    def __index__(self):
        if self.nested:
            apsp([(1, 2, 0.5), (2, 3, 0.5)], 0.75)
            return 7
        raise self.kind(self.message)

    def __float__(self):
        if self.nested:
            return float(len(apsp([(1, 2, 0.5)])))
        raise self.kind(self.message)


class LyingSequence:
    """A sequence whose __len__ fails, which the module takes only as a hint."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        if index < 3:
            return (index, index + 1, 1.0)
        raise IndexError(index)


def graph(rng, nodes, edges, low=0.1, high=10.0):
    return [(rng.randrange(nodes), rng.randrange(nodes), rng.uniform(low, high)) for _ in range(edges)]


def scenarios(rng):
    """(name, call) pairs; a call returns normally whether the module succeeds or raises."""
    small, medium = graph(rng, 12, 30), graph(rng, 60, 180)

    def expect(errors, *args, **kwargs):
        def call():
            try:
                apsp(*args, **kwargs)
            except errors:
                pass
            else:
                raise AssertionError(f"no error from {args} {kwargs}")

        return call

    def succeed(*args, **kwargs):
        return lambda: apsp(*args, **kwargs)

    def threaded():
        threads = [threading.Thread(target=apsp, args=(small, 3.0)) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    panic = BaseException
    return [
        ("success", succeed(medium)),
        ("success, cutoff", succeed(medium, 2.5)),
        ("success, keywords", succeed(edges=small, cutoff=None)),
        ("success, NaN and negative cutoffs", lambda: (apsp(small, math.nan), apsp(small, -1.0))),
        ("success, infinite weights", succeed([(0, 1, math.inf), (1, 2, 1.0)], math.inf)),
        ("success, lying __len__", succeed(LyingSequence())),
        ("nested call in a hook", succeed([(Hook(nested=True), 1, Hook(nested=True))])),
        ("binding: too many arguments", expect(TypeError, small, 1.0, 2)),
        ("binding: unknown keyword", expect(TypeError, small, limit=1.0)),
        ("binding: missing argument", expect(TypeError)),
        ("conversion: not a sequence", expect(TypeError, {1, 2})),
        ("conversion: a string", expect(TypeError, "edges")),
        ("conversion: not a tuple", expect(TypeError, small + [[1, 2, 1.0]])),
        ("conversion: tuple of 2", expect(ValueError, small + [(1, 2)])),
        ("conversion: bad node", expect(TypeError, small + [("a", 2, 1.0)])),
        ("conversion: negative node", expect(OverflowError, small + [(-1, 2, 1.0)])),
        ("conversion: node too large", expect(OverflowError, small + [(2**32, 2, 1.0)])),
        ("conversion: bad weight", expect(TypeError, small + [(1, 2, "w")])),
        ("conversion: bad cutoff", expect(TypeError, small, "c")),
        ("hook raises KeyError", expect(KeyError, [(Hook(KeyError, "k"), 1, 1.0)])),
        ("hook raises TypeError", expect(TypeError, [(1, 2, Hook(TypeError, "t"))])),
        ("hook raises its own error", expect(HookError, [], Hook(HookError, "h"))),
        ("panic: contradiction", expect(panic, medium + [(0, 1, -1.0)])),
        ("panic: NaN comparison", expect(panic, [(0, 1, math.nan), (0, 2, 1.0)])),
        ("threads", threaded),
    ]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def thread_count():
    return len(os.listdir("/proc/self/task"))


def descriptor_count():
    return len(os.listdir("/proc/self/fd"))


def sample():
    gc.collect()
    return resident_bytes(), thread_count(), descriptor_count()


def run(calls, plan):
    for index in range(calls):
        plan[index % len(plan)][1]()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--warmup", type=int, default=1_000)
    options = parser.parse_args()

    plan = scenarios(random.Random(20261208))
    saved_stderr = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
    try:
        run(options.warmup, plan)
        baseline = sample()
        samples = []
        step = max(1, options.calls // 10)
        for done in range(0, options.calls, step):
            run(min(step, options.calls - done), plan)
            samples.append((min(done + step, options.calls), *sample()))
    finally:
        os.dup2(saved_stderr, 2)
        os.close(saved_stderr)

    print(f"{len(plan)} kinds of call; after {options.warmup} calls to warm up:")
    print(f"  resident {baseline[0] / 2**20:.2f} MiB, threads {baseline[1]}, fds {baseline[2]}")
    for done, rss, threads, fds in samples:
        print(
            f"  after {done:>6} calls: resident {rss / 2**20:.2f} MiB "
            f"({(rss - baseline[0]) / 2**10:+.0f} KiB), threads {threads}, fds {fds}"
        )
    growth = max(rss for _, rss, _, _ in samples) - baseline[0]
    threads_flat = all(threads == baseline[1] for _, _, threads, _ in samples)
    fds_flat = all(fds == baseline[2] for _, _, _, fds in samples)
    failures = []
    if growth > TOLERANCE_BYTES:
        failures.append(f"resident memory grew by {growth} bytes (allowed {TOLERANCE_BYTES})")
    if not threads_flat:
        failures.append("the number of threads changed")
    if not fds_flat:
        failures.append("the number of open file descriptors changed")
    for failure in failures:
        print("FAILED:", failure)
    print(
        f"soak: {options.calls} calls, largest growth of the resident set {growth / 2**10:.0f} KiB "
        f"(allowed {TOLERANCE_BYTES // 2**10} KiB), threads {'flat' if threads_flat else 'CHANGED'}"
        f", file descriptors {'flat' if fds_flat else 'CHANGED'}"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
