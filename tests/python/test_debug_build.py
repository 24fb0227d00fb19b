"""On a debug interpreter the module must be a debug build too.

A module compiled without Py_DEBUG still loads into a debug interpreter, but its own reference
count changes go uncounted, so sys.gettotalrefcount() drifts by about one per object it releases
and every refleak check reports leaks that are not there."""

import gc
import sys

import pytest


pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter"
)


def test_the_module_counts_its_references_through_the_interpreter(module_symbols):
    imported = {name for _, name in module_symbols("--undefined-only")}
    # What Py_INCREF and Py_DECREF call in a build with reference debugging.
    if sys.version_info >= (3, 12):
        expected = {"_Py_INCREF_IncRefTotal", "_Py_DECREF_DecRefTotal", "_Py_NegativeRefcount"}
    else:
        expected = {"_Py_RefTotal", "_Py_NegativeRefcount"}
    assert expected <= imported


def test_released_results_leave_the_total_unchanged(apsp):
    # 31 nodes: 992 keys and values per result, each released by the module once; a module that
    # does not count its releases moves the total by about that much per call.
    edges = [(i, i + 1, 1.0) for i in range(30)]
    deltas = []
    before = None
    for _ in range(4):  # the first round warms up
        for _ in range(3):
            apsp(edges)
        gc.collect()
        # The one count held between two readings is `before`, so each difference is the calls'.
        after = sys.gettotalrefcount()
        if before is not None:
            deltas.append(after - before)
        before = after
    assert deltas[1:] == [0, 0]
