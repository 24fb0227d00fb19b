#!/usr/bin/env python3
"""Fuzz target: argument binding and conversion, through the module, with atheris.

Builds the arguments of a call from the fuzz input: arbitrary nested Python values (numbers at
and past every boundary, strings, bytes, containers of all kinds, sequences that lie about their
length or fail part-way, objects whose __index__ or __float__ return odd values, raise, or call
the function again), usually shaped like an edge list so that conversion gets deep. Any outcome
but these is a finding:

- a dict of dicts from node numbers to floats, each source reaching itself at 0.0;
- TypeError from binding ("all_pairs_dijkstra_path_length() ...") or conversion ("argument
  'edges': ..." or "argument 'cutoff': ...");
- ValueError for a tuple of the wrong length, OverflowError for a node number out of range;
- PanicException with the message of a search failure, or of "capacity overflow";
- the exception a hook raised, passed through (an exact TypeError gets its prefix, a
  PanicException is resumed as a panic with its message).

A crash, a hang (libFuzzer's -timeout) or anything else is reported by atheris with the input.

    LD_PRELOAD=.../asan_with_fuzzer.so PYTHONPATH=BUILD python3 fuzz_arguments.py CORPUS -max_total_time=60
"""

import inspect
import math
import re
import sys

import atheris
import dorvane

apsp = dorvane.all_pairs_dijkstra_path_length

SEARCH_FAILURES = {
    "Contradictory paths found: negative weights?",
    "called `Option::unwrap()` on a `None` value",
    "capacity overflow",
}
BINDING = re.compile(r"all_pairs_dijkstra_path_length\(\) ")
PREFIXED = re.compile(r"argument '(edges|cutoff)': ")
TUPLE_LENGTH = re.compile(r"expected tuple of length 3, but got tuple of length \d+\Z")


def panic_class():
    try:
        apsp([(0, 1, -1.0)])
    except BaseException as error:  # noqa: B036 - the class derives from BaseException
        return type(error)
    raise AssertionError("a negative edge did not panic")


PanicException = panic_class()


HOOK_MESSAGE = "from a hook"


class HookError(Exception):
    pass


class HookTypeError(TypeError):
    pass


INTS = [0, 1, 2, 3, 7, -1, 2**31, 2**32 - 1, 2**32, 2**63, -(2**63), 2**64, 10**30, True, False]
FLOATS = [0.0, -0.0, 0.5, 1.0, 2.5, -1.0, -0.5, 1e-300, 5e-324, 1e308, math.inf, -math.inf, math.nan]
HOOK_ERRORS = [HookError, HookTypeError, TypeError, ValueError, KeyError, OverflowError, IndexError]


def hook_error(fdp):
    """A fresh error of a kind a caller's hook might raise, marked as the caller's."""
    kind = fdp.PickValueInList(HOOK_ERRORS + [PanicException])
    error = kind(HOOK_MESSAGE)
    error.from_hook = True
    return error


class Hooked:
    """An object whose __index__ and __float__ are driven by the fuzz input."""

    def __init__(self, fdp, depth):
        self.action = fdp.ConsumeIntInRange(0, 4)
        self.value = build(fdp, depth + 1) if self.action == 0 else None
        self.error = hook_error(fdp) if self.action == 1 else None
        self.number = fdp.PickValueInList(INTS + FLOATS)

    def answer(self, convert):
        if self.action == 0:
            return self.value  # may be of the wrong type
        if self.action == 1:
            raise self.error
        if self.action == 2:  # a nested call, whatever it does
            try:
                apsp([(1, 2, 0.5), (2, 3, -0.25)], 0.75)
            except BaseException:  # noqa: B036
                pass
        return convert(self.number) if isinstance(self.number, int) or convert is float else 1

    def __index__(self):
        return self.answer(int)

    def __float__(self):
        return self.answer(float)


class Sequence:
    """A sequence whose length, items and failures come from the fuzz input."""

    def __init__(self, fdp, depth):
        self.items = [build_edge(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))]
        self.claimed = fdp.PickValueInList([None, -1, 0, 2, 2**31, 2**62, len(self.items)])
        self.fail_at = fdp.ConsumeIntInRange(0, 7)
        self.error = hook_error(fdp)

    def __len__(self):
        if self.claimed is None:
            raise self.error
        return self.claimed

    def __getitem__(self, index):
        if index == self.fail_at:
            raise self.error
        if index < len(self.items):
            return self.items[index]
        raise IndexError(index)


def build(fdp, depth=0):
    """An arbitrary value; containers only while depth allows."""
    kinds = 12 if depth >= 3 else 18
    kind = fdp.ConsumeIntInRange(0, kinds)
    if kind == 0:
        return fdp.PickValueInList(INTS)
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 9))
    if kind == 2:
        return fdp.PickValueInList(FLOATS)
    if kind == 3:
        return fdp.ConsumeFloat()
    if kind == 4:
        return None
    if kind == 5:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 4))
    if kind == 6:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4))
    if kind == 7:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4)))
    if kind == 8:
        return range(fdp.ConsumeIntInRange(0, 4))
    if kind == 9:
        return complex(fdp.ConsumeFloat(), 1.0)
    if kind == 10:
        return object()
    if kind in (11, 12):
        return Hooked(fdp, depth)
    if kind == 13:
        return tuple(build(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    if kind == 14:
        return [build(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if kind == 15:
        return {build_key(fdp): build(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    if kind == 16:
        return {build_key(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    if kind == 17:
        return Sequence(fdp, depth)
    return memoryview(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4)))


def build_key(fdp):
    return fdp.PickValueInList(INTS[:8] + ["a", b"b", 0.5, None])


def build_number(fdp, depth):
    """Usually a plain node number or weight, else anything."""
    choice = fdp.ConsumeIntInRange(0, 9)
    if choice < 4:
        return fdp.ConsumeIntInRange(0, 6)
    if choice < 7:
        return fdp.PickValueInList(FLOATS + INTS)
    return build(fdp, depth)


def build_edge(fdp, depth):
    """Usually a 3-tuple of numbers, else anything."""
    choice = fdp.ConsumeIntInRange(0, 9)
    if choice < 7:
        return tuple(build_number(fdp, depth) for _ in range(3))
    if choice == 7:
        return tuple(build_number(fdp, depth) for _ in range(fdp.ConsumeIntInRange(0, 5)))
    return build(fdp, depth)


def build_edges(fdp):
    choice = fdp.ConsumeIntInRange(0, 9)
    count = fdp.ConsumeIntInRange(0, 8)
    if choice < 5:
        return [build_edge(fdp, 1) for _ in range(count)]
    if choice < 7:
        return tuple(build_edge(fdp, 1) for _ in range(count))
    if choice == 7:
        return Sequence(fdp, 0)
    return build(fdp)


def build_call(fdp):
    """Positional arguments and keywords, usually (edges) or (edges, cutoff)."""
    form = fdp.ConsumeIntInRange(0, 9)
    edges = build_edges(fdp)
    cutoff = fdp.PickValueInList(FLOATS + [None, 3]) if fdp.ConsumeBool() else build(fdp, 1)
    if form < 4:
        return (edges,), {}
    if form < 7:
        return (edges, cutoff), {}
    if form == 7:
        return (edges,), {"cutoff": cutoff}
    names = ["edges", "cutoff", "other"]
    args = tuple(build(fdp, 2) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    keywords = {fdp.PickValueInList(names): build(fdp, 2) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    return args, keywords


def check_result(result):
    assert type(result) is dict, type(result)
    for source, row in result.items():
        assert type(source) is int and 0 <= source < 2**32, source
        assert type(row) is dict, type(row)
        assert row.get(source) == 0.0, (source, row.get(source))
        for target, distance in row.items():
            assert type(target) is int and 0 <= target < 2**32 and target in result, target
            assert type(distance) is float, type(distance)


def documented(error):
    """Whether `error` is an outcome the module documents (or the caller's own error)."""
    if getattr(error, "from_hook", False):
        return True
    message = str(error)
    kind = type(error)
    if kind is TypeError:
        return bool(BINDING.match(message) or PREFIXED.match(message))
    if kind is ValueError:
        return bool(TUPLE_LENGTH.match(message))
    if kind is OverflowError:
        return True
    if kind is PanicException:
        # A PanicException raised by a hook is resumed as a panic with its message.
        return message in SEARCH_FAILURES or message == HOOK_MESSAGE
    return False


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    args, keywords = build_call(fdp)
    try:
        result = apsp(*args, **keywords)
    except BaseException as error:  # noqa: B036 - PanicException included
        if not documented(error):
            raise
    else:
        check_result(result)


def instrument_harness():
    """Coverage of the harness's own branches, so that the fuzzer tells value shapes apart."""
    namespace = globals()
    for name, value in list(namespace.items()):
        if inspect.isfunction(value) and value.__module__ == __name__:
            namespace[name] = atheris.instrument_func(value)
        elif inspect.isclass(value) and value.__module__ == __name__:
            for attribute, method in list(vars(value).items()):
                if inspect.isfunction(method):
                    setattr(value, attribute, atheris.instrument_func(method))


def main():
    instrument_harness()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
