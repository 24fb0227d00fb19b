"""The caller's objects keep their reference counts, whether a call succeeds or fails."""

import collections.abc
import gc
import sys

import pytest


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def caller_objects():
    # Values outside the small-int cache and fresh floats, so that every count is our own.
    nodes = [10**6 + i for i in range(4)]
    weights = [0.25 + i for i in range(3)]
    edges = [(nodes[0], nodes[1], weights[0]), (nodes[1], nodes[2], weights[1])]
    edges.append((nodes[2], nodes[3], weights[2]))
    cutoff = 100.5
    return edges, cutoff, [edges, cutoff, *edges, *nodes, *weights]


def test_successful_calls_leave_counts_unchanged(apsp):
    edges, cutoff, watched = caller_objects()
    before = counts(watched)
    for _ in range(3):
        result = apsp(edges, cutoff)
        apsp(edges=edges)
    del result
    assert counts(watched) == before


@pytest.mark.parametrize(
    "make_bad",
    [
        lambda edges, nodes: edges + ["x"],
        lambda edges, nodes: edges + [(nodes[0], 1)],
        lambda edges, nodes: edges + [(nodes[0], -1, 1.0)],
        lambda edges, nodes: edges + [(nodes[0], 2**40, 1.0)],
        lambda edges, nodes: edges + [(nodes[0], nodes[1], "w")],
        lambda edges, nodes: edges + [(nodes[0], nodes[1], -1.0)],  # panics in the search
    ],
)
def test_failed_calls_leave_counts_unchanged(apsp, make_bad):
    edges, cutoff, watched = caller_objects()
    bad = make_bad(edges, [e[0] for e in edges])
    watched = watched + [bad, bad[-1]]
    before = counts(watched)
    for _ in range(3):
        with pytest.raises(BaseException):
            apsp(bad, cutoff)
    assert counts(watched) == before


def test_failed_cutoff_and_binding_leave_counts_unchanged(apsp):
    edges, cutoff, watched = caller_objects()
    bad_cutoff = "not a number"
    watched = watched + [bad_cutoff]
    before = counts(watched)
    for _ in range(3):
        with pytest.raises(TypeError):
            apsp(edges, bad_cutoff)
        with pytest.raises(TypeError):
            apsp(edges, cutoff, bad_cutoff)
        with pytest.raises(TypeError):
            apsp(edges, edges=edges)
    assert counts(watched) == before


def held_counts(outer):
    inner_counts = [sys.getrefcount(inner) for inner in outer.values()]
    value_counts = [sys.getrefcount(v) for inner in outer.values() for v in inner.values()]
    return inner_counts, value_counts


def test_result_objects_are_owned_only_by_the_result(apsp):
    result = apsp([(1, 2, 0.5), (2, 3, 0.25)])
    # The same shape built in Python, with fresh floats: each object held by its dict alone.
    built = {s: {t: d + 0.0 for t, d in inner.items()} for s, inner in result.items()}
    assert held_counts(result) == held_counts(built)


class Message:
    """An exception argument: its count shows whether the exception holding it was released."""

    def __str__(self):
        return "bad value"


class Hook:
    """A caller's object whose every conversion hook raises a fresh `kind`(message) with a cause.

    As `edges` its failing __len__ is dropped and its __iter__ returns itself, whose __next__
    fails."""

    def __init__(self, kind, message, cause):
        self.kind, self.message, self.cause = kind, message, cause

    def fail(self):
        error = self.kind(self.message)
        error.__cause__ = self.cause
        raise error

    def __index__(self):
        self.fail()

    def __float__(self):
        self.fail()

    def __len__(self):
        self.fail()

    def __getitem__(self, index):
        self.fail()

    def __iter__(self):
        return self

    def __next__(self):
        self.fail()


@pytest.mark.parametrize("kind", [TypeError, KeyError, "panic"])
def test_errors_from_caller_hooks_are_released(apsp, panic_type, kind):
    kind = panic_type if kind == "panic" else kind
    message, cause = Message(), LookupError("cause")
    hook = Hook(kind, message, cause)
    calls = [
        lambda: apsp([(hook, 1, 1.0)]),
        lambda: apsp([(1, 2, hook)]),
        lambda: apsp([], hook),
        lambda: apsp(hook),
        lambda: apsp(5),
    ]
    watched = [message, cause, hook, collections.abc.Sequence, panic_type]

    def call_all():
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: B036 - PanicException included
                pass

    call_all()  # first-use caches
    gc.collect()  # a raised error and the frame that raised it form a cycle
    before = counts(watched)
    for _ in range(3):
        call_all()
    gc.collect()
    assert counts(watched) == before
