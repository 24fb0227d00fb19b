"""A pytest plugin that hunts reference and memory-block leaks, after CPython's `-R 3:3`.

Every collected test function is called WARMUP + RUNS times in a row, within its own call phase;
after each call the plugin collects garbage, clears the interpreter's caches and reads
sys.gettotalrefcount() and sys.getallocatedblocks(). The differences between consecutive readings
of the last RUNS calls must all be zero, or the test fails with them. The warm-up calls fill
what fills once: the worker pool, first-use caches, interned strings, the free lists.

It needs a debug interpreter and a module built for it (tests/python/test_debug_build.py checks
that), and takes the tests as they are, so new tests join the hunt without changes:

    PYTHONPATH=tests/refleak:BUILD python3.14d -m pytest -p refleak_plugin tests/python

Function-scoped fixtures are created once per test, so the few built-in ones that accumulate
state across calls are handed over fresh (monkeypatch, tmp_path) or drained (capsys, capfd,
caplog, recwarn) for every call; a new fixture of that kind belongs in `fresh_arguments`.
A property test (Hypothesis) runs its search once, derandomized and without its example
database, while the plugin records every example it tries; the calls that follow replay those
examples through the test's body, without the search engine, whose own caches and bookkeeping
would blur the counts. Tests that take the `python_subprocess` fixture do their work in a child
interpreter, where this process cannot see leaks: they run once, as does a test marked
`refleak_skip` (with a reason) because it cannot be repeated.
"""

import gc
import re
import sys

import pytest


def pytest_addoption(parser):
    parser.addoption(
        "--refleak",
        default="3:3",
        metavar="WARMUP:RUNS",
        help="calls before measuring and calls measured (default 3:3)",
    )


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("the refleak plugin needs a debug interpreter")
    warmup, runs = (int(part) for part in config.getoption("--refleak").split(":"))
    if warmup < 1 or runs < 1:
        raise pytest.UsageError("--refleak needs at least one warm-up call and one measured call")
    config.stash[_schedule_key] = (warmup, runs)
    config.stash[_tally_key] = {"repeated": 0, "leaking": 0, "once": 0}
    config.addinivalue_line("markers", "refleak_skip(reason): not repeated by the refleak hunt")
    try:
        from hypothesis import settings
    except ImportError:
        return
    settings.register_profile("refleak", derandomize=True, database=None, deadline=None)
    settings.load_profile("refleak")
    # Its check of who else holds the global random generator cannot see frozen objects.
    config.addinivalue_line(
        "filterwarnings", "ignore:It looks like `register_random`:hypothesis.errors.HypothesisWarning"
    )


_schedule_key = pytest.StashKey()
_tally_key = pytest.StashKey()

# Fixtures whose tests run the module in a child process only.
CHILD_PROCESS_FIXTURES = {"python_subprocess"}


def pytest_collection_finish(session):
    # Everything alive now (pytest, the test modules, hypothesis) stays alive: move it out of the
    # collector's way, so that the many collections below look at new objects only.
    gc.collect()
    gc.freeze()


def clear_caches():
    """Empties what the interpreter caches on the side, so that only live objects remain."""
    if hasattr(sys, "_clear_internal_caches"):  # 3.13 and later
        sys._clear_internal_caches()
    else:
        sys._clear_type_cache()
    re.purge()
    for _ in range(3):
        gc.collect()


class FreshArguments:
    """The test's arguments for one call: stateful built-in fixtures renewed or drained."""

    def __init__(self, item):
        self.item = item
        self.names = item._fixtureinfo.argnames
        self.undo = []

    def __enter__(self):
        arguments = {name: self.item.funcargs[name] for name in self.names}
        if "monkeypatch" in arguments:
            patch = pytest.MonkeyPatch()
            arguments["monkeypatch"] = patch
            self.undo.append(patch.undo)
        if "tmp_path" in arguments:
            base = self.item.funcargs["tmp_path"]
            fresh = base / f"call{len(list(base.iterdir()))}"
            fresh.mkdir()
            arguments["tmp_path"] = fresh
        for name, drain in (
            ("capsys", "readouterr"),
            ("capfd", "readouterr"),
            ("caplog", "clear"),
            ("recwarn", "clear"),
        ):
            if name in arguments:
                self.undo.append(getattr(arguments[name], drain))
        return arguments

    def __exit__(self, *exc_info):
        for undo in reversed(self.undo):
            undo()
        self.undo.clear()


def recorded_examples(test, arguments):
    """Runs a Hypothesis test once and returns the keyword arguments of every example it tried,
    or None for a test of another kind."""
    handle = getattr(test, "hypothesis", None)
    if handle is None or not hasattr(handle, "inner_test"):
        return None
    body = handle.inner_test
    examples = []

    def recording(*args, **kwargs):
        if args:
            raise pytest.UsageError("the refleak plugin replays keyword arguments only")
        examples.append(kwargs)
        return body(**kwargs)

    handle.inner_test = recording  # Hypothesis looks the body up at every call
    try:
        test(**arguments)
    finally:
        handle.inner_test = body
    return examples


def replay(test, examples):
    body = test.hypothesis.inner_test

    def call(**arguments):
        for example in examples:
            body(**{**example, **arguments})

    return call


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.get_closest_marker("refleak_skip") or CHILD_PROCESS_FIXTURES.intersection(
        pyfuncitem.fixturenames
    ):
        pyfuncitem.config.stash[_tally_key]["once"] += 1
        return None  # pytest calls the test once, as usual
    warmup, runs = pyfuncitem.config.stash[_schedule_key]
    tally = pyfuncitem.config.stash[_tally_key]
    tally["repeated"] += 1
    test = pyfuncitem.obj
    with FreshArguments(pyfuncitem) as arguments:
        examples = recorded_examples(test, arguments)
    if examples is not None:
        if not examples:
            pytest.fail("the refleak plugin saw no example of this property test", pytrace=False)
        test = replay(test, examples)
    del arguments
    total = warmup + runs
    # Preallocated, and filled with small (cached, immortal) ints once the counts settle, so
    # that the bookkeeping itself allocates nothing between two readings. Between two readings
    # exactly one pair of large ints is alive: the previous reading.
    ref_deltas = [0] * total
    block_deltas = [0] * total
    refs_before = blocks_before = 0
    for call in range(total):
        fresh = FreshArguments(pyfuncitem)
        with fresh as arguments:
            test(**arguments)
        del arguments, fresh
        clear_caches()
        refs_after = sys.gettotalrefcount()
        blocks_after = sys.getallocatedblocks()
        ref_deltas[call] = refs_after - refs_before
        block_deltas[call] = blocks_after - blocks_before
        refs_before, blocks_before = refs_after, blocks_after
    measured_refs, measured_blocks = ref_deltas[warmup:], block_deltas[warmup:]
    if any(measured_refs) or any(measured_blocks):
        tally["leaking"] += 1
        pytest.fail(
            f"leaked over {runs} calls after {warmup} to warm up: "
            f"references {measured_refs}, memory blocks {measured_blocks}",
            pytrace=False,
        )
    return True


def pytest_terminal_summary(terminalreporter, config):
    warmup, runs = config.stash[_schedule_key]
    tally = config.stash[_tally_key]
    terminalreporter.write_line(
        f"refleak hunt: {tally['repeated']} tests called {warmup} + {runs} times, "
        f"{tally['leaking']} with a non-zero delta; {tally['once']} called once "
        "(child process or refleak_skip)"
    )
