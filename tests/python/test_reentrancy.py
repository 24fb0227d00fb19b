"""Calls made from inside a call: from conversion hooks, garbage-collector callbacks and weakref
finalizers that run while the outer call converts its arguments."""

import gc
import weakref

import pytest

INNER_EDGES = [(1, 2, 0.5), (2, 3, 0.5)]
INNER_RESULT = {
    1: {1: 0.0, 2: 0.5, 3: 1.0},
    2: {2: 0.0, 1: 0.5, 3: 0.5},
    3: {3: 0.0, 2: 0.5, 1: 1.0},
}


class Calling:
    """A node number (or weight) whose conversion first runs `inner`, then answers `value`."""

    def __init__(self, inner, value):
        self.inner, self.value = inner, value

    def __index__(self):
        self.inner()
        return self.value

    def __float__(self):
        self.inner()
        return float(self.value)


def test_calls_from_conversion_hooks(apsp):
    inner_results = []

    def inner():
        inner_results.append(apsp(INNER_EDGES))

    assert apsp([(Calling(inner, 7), 8, Calling(inner, 2))], 1.5) == {
        7: {7: 0.0},
        8: {8: 0.0},
    }
    assert inner_results == [INNER_RESULT, INNER_RESULT]


def test_failures_of_inner_calls(apsp, panic_type):
    caught = []

    def inner():
        try:
            apsp([(0, 1, -1.0)])
        except BaseException as error:  # noqa: B036 - PanicException included
            caught.append(type(error))
        with pytest.raises(TypeError):
            apsp([(0, 1, 1.0)], cutoff="x")

    assert apsp([(Calling(inner, 1), 2, 1.0)]) == {1: {1: 0.0, 2: 1.0}, 2: {2: 0.0, 1: 1.0}}
    assert caught == [panic_type]


def test_a_panic_of_an_inner_call_that_escapes_the_hook_ends_the_outer_call(apsp, panic_type):
    def inner():
        apsp([(4, 4, -1.0)])

    with pytest.raises(BaseException) as info:
        apsp([(Calling(inner, 1), 2, 1.0)])
    assert type(info.value) is panic_type
    assert str(info.value) == "Contradictory paths found: negative weights?"


def test_calls_from_collector_callbacks_and_finalizers(apsp):
    results = []

    def on_collection(phase, info):
        if phase == "stop":
            results.append(("gc", apsp(INNER_EDGES)))

    class Cycle:
        pass

    def collect():
        cycle = Cycle()
        cycle.self = cycle
        weakref.finalize(cycle, lambda: results.append(("finalizer", apsp(INNER_EDGES))))
        del cycle
        gc.collect()

    gc.callbacks.append(on_collection)
    try:
        result = apsp([(1, Calling(collect, 2), 3.0)], None)
    finally:
        gc.callbacks.remove(on_collection)
    assert result == {1: {1: 0.0, 2: 3.0}, 2: {2: 0.0, 1: 3.0}}
    assert ("finalizer", INNER_RESULT) in results and ("gc", INNER_RESULT) in results
    assert all(inner == INNER_RESULT for _, inner in results)
