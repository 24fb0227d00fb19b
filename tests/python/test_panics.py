"""Panics of the native code as dorvane_runtime.PanicException."""

import math
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

CONTRADICTION = "Contradictory paths found: negative weights?"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def test_the_class(panic_type):
    assert panic_type.__module__ == "dorvane_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    doc = panic_type.__doc__
    assert doc.startswith("\n") and doc.endswith("\n") and "BaseException" in doc


@pytest.mark.parametrize(
    "edges, message",
    [
        ([(0, 1, -1.0)], CONTRADICTION),
        ([(4, 4, -1.0)], CONTRADICTION),
        ([(0, 1, 1.0), (1, 2, -0.5)], CONTRADICTION),
        # The second push compares a NaN distance.
        ([(0, 1, float("nan")), (0, 2, 1.0)], UNWRAP_NONE),
        # The README's example: from node 1, the NaN path to 0 against the edge to 2.
        ([(0, 1, float("nan")), (1, 2, 1.0), (0, 2, 5.0)], UNWRAP_NONE),
    ],
)
def test_search_failures_raise_panic_exception(apsp, panic_type, edges, message):
    error = panic_of(lambda: apsp(edges))
    assert type(error) is panic_type
    assert str(error) == message
    assert error.args == (message,)


def test_same_class_for_every_call_and_not_an_exception(apsp, panic_type):
    classes = set()
    for _ in range(3):
        try:
            apsp([(0, 1, -2.0), (1, 2, 1.0)])
        except Exception:  # pragma: no cover - must not happen
            pytest.fail("PanicException was caught as an Exception")
        except BaseException as error:  # noqa: B036
            classes.add(type(error))
    assert classes == {panic_type}


def test_module_keeps_working_after_a_panic(apsp):
    with pytest.raises(BaseException):
        apsp([(0, 1, -1.0)])
    assert apsp([(1, 2, 0.5)]) == {1: {1: 0.0, 2: 0.5}, 2: {2: 0.0, 1: 0.5}}


# Of the 200 searches only the one from node 4 fails: the cutoff keeps every other search away
# from the negative self-loop.
ONE_PANIC_SCRIPT = """
import random, dorvane
rng = random.Random(3)
edges = [(rng.randrange(200), rng.randrange(200), rng.uniform(1.0, 5.0)) for _ in range(800)]
edges.append((4, 4, -1.0))
try:
    dorvane.all_pairs_dijkstra_path_length(edges, 0.5)
except BaseException as error:
    print(type(error).__name__, error)
print(len(dorvane.all_pairs_dijkstra_path_length(edges[:-1], 0.5)))
"""


def test_exactly_one_diagnostic_per_panic(python_subprocess):
    run = python_subprocess(ONE_PANIC_SCRIPT)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[0] == f"PanicException {CONTRADICTION}"
    assert run.stderr.count("panicked at") == 1
    assert run.stderr.count(CONTRADICTION) == 1


FAILING_CALL_SCRIPT = """
import dorvane
try:
    dorvane.all_pairs_dijkstra_path_length(EDGES)
except BaseException as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize(
    "edges, message",
    [
        ("[(1, 2, -1.0)]", CONTRADICTION),
        # Hundreds of the 1,001 searches reach the negative edge.
        ("[(i, i + 1, 1.0) for i in range(1000)] + [(0, 1, -0.5)]", CONTRADICTION),
        # Every search of this star compares a NaN distance.
        ("[(0, i, 1.0) for i in range(1, 300)] + [(0, 300, float('nan'))]", UNWRAP_NONE),
    ],
    ids=["two nodes", "1,001-node path", "NaN star"],
)
def test_a_failing_call_writes_one_diagnostic(python_subprocess, edges, message):
    run = python_subprocess(FAILING_CALL_SCRIPT.replace("EDGES", edges))
    assert run.returncode == 0, run.stderr
    assert run.stdout == f"PanicException {message}\n"
    assert run.stderr.count("panicked at") == 1, run.stderr[:2000]
    # The diagnostic is that of the failure raised.
    assert run.stderr.startswith("dorvane: thread ")
    assert run.stderr.endswith(f":\n{message}\n")


OVERFLOW_SCRIPT = """
import dorvane

class Sized:
    def __len__(self):
        return 2**59
    def __getitem__(self, index):
        return [(1, 2, 1.0)][index]

for _ in range(2):
    try:
        dorvane.all_pairs_dijkstra_path_length(Sized())
    except BaseException as error:
        print(type(error).__name__, error)
"""


def test_panics_outside_the_searches_keep_their_one_diagnostic(python_subprocess):
    run = python_subprocess(OVERFLOW_SCRIPT)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "PanicException capacity overflow\n" * 2
    diagnostic = r"dorvane: thread \d+ panicked at [^\n]+:\d+:\d+:\ncapacity overflow\n"
    assert re.fullmatch(f"({diagnostic}){{2}}", run.stderr), run.stderr


RESUME_SCRIPT = """
import dorvane
f = dorvane.all_pairs_dijkstra_path_length
try:
    f([(4, 4, -1.0)])  # one search, one diagnostic
except BaseException as error:
    Panic = type(error)

class Edges:
    def __init__(self, where):
        self.where = where
    def __len__(self):
        if self.where == "len":
            raise Panic("from len")
        return 1
    def __getitem__(self, index):
        return (1, 2, 1.0)
    def __iter__(self):
        if self.where == "iter":
            raise Panic("from iter")
        return iter([(1, 2, 1.0)])

class Weight:
    def __float__(self):
        raise Panic("from float")

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

def resumed(call, raised_from):
    try:
        call()
    except BaseException as error:
        print(type(error) is Panic, error is not raised_from, repr(str(error)))

for where in ("len", "iter"):
    resumed(lambda: f(Edges(where)), None)
resumed(lambda: f([(1, 2, Weight())]), None)
resumed(lambda: f([], Weight()), None)
unprintable = Panic(Unprintable())
def hook():
    raise unprintable
class Index:
    def __index__(self):
        hook()
resumed(lambda: f([(Index(), 1, 1.0)]), unprintable)
print("still working", f([(1, 2, 0.5)])[1][2])
"""


def test_panic_exception_from_python_code_is_resumed(python_subprocess):
    run = python_subprocess(RESUME_SCRIPT)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "True True 'from len'",
        "True True 'from iter'",
        "True True 'from float'",
        "True True 'from float'",
        "True True 'Unwrapped panic from Python code'",
        "still working 0.5",
    ]
    banner = (
        "--- dorvane is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
    )
    # Five resumptions, each with its banner and the Python traceback, and no new diagnostic:
    # the one "panicked at" is the negative edge that produced the class.
    assert run.stderr.count(banner) == 5
    assert run.stderr.count("Traceback (most recent call last):") == 5
    assert run.stderr.count("dorvane_runtime.PanicException: from iter") == 1
    assert run.stderr.count("panicked at") == 1


# A negative edge that is not cut off always ends in a contradiction: from one of its endpoints
# the other is fixed at a negative distance and then offers the endpoint a path shorter than 0.
# Edges cut off, or with no negative weight left after duplicates, never do.
@settings(max_examples=150, deadline=None)
@given(
    edges=st.lists(
        st.tuples(
            st.integers(0, 12),
            st.integers(0, 12),
            st.sampled_from([-2.0, -0.5, 0.0, 1.0, 3.0]),
        ),
        max_size=30,
    ),
    cutoff=st.one_of(st.none(), st.sampled_from([-3.0, -1.0, 0.0, 2.0, math.nan])),
)
def test_negative_edges_fail_exactly_when_not_cut_off(apsp, panic_type, edges, cutoff):
    last = {}
    for u, v, w in edges:
        last[frozenset((u, v))] = w
    limit = math.inf if cutoff is None or math.isnan(cutoff) else cutoff
    should_fail = any(w < 0 and w <= limit for w in last.values())
    try:
        result = apsp(edges, cutoff)
    except BaseException as error:  # noqa: B036
        assert type(error) is panic_type
        assert str(error) == CONTRADICTION
        assert should_fail, edges
    else:
        assert not should_fail, edges
        distances = [d for inner in result.values() for d in inner.values()]
        assert all(distance >= 0 for distance in distances)
