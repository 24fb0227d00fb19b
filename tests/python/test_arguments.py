"""Binding of (edges, cutoff) and conversion of the caller's values, with their exact errors."""

import collections
import sys

import pytest

NAME = "all_pairs_dijkstra_path_length()"


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# --- binding ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{NAME} missing 1 required positional argument: 'edges'"),
        ((), {"cutoff": 1.0}, f"{NAME} missing 1 required positional argument: 'edges'"),
        (([], 1.0, 2), {}, f"{NAME} takes from 1 to 2 positional arguments but 3 were given"),
        # The positional count is checked before any keyword.
        (
            ([], 1.0, 2, 3),
            {"weight": 1},
            f"{NAME} takes from 1 to 2 positional arguments but 4 were given",
        ),
        (([],), {"edges": []}, f"{NAME} got multiple values for argument 'edges'"),
        (([], None), {"cutoff": 1.0}, f"{NAME} got multiple values for argument 'cutoff'"),
        (([],), {"weight": 1}, f"{NAME} got an unexpected keyword argument 'weight'"),
        # The first failing keyword ends the binding.
        (([],), {"weight": 1, "edges": []}, f"{NAME} got an unexpected keyword argument 'weight'"),
        (([],), {"edges": [], "weight": 1}, f"{NAME} got multiple values for argument 'edges'"),
        # Binding errors come before any conversion of the bound values.
        (
            ("not edges",),
            {"cutoff": "x", "bad": 1},
            f"{NAME} got an unexpected keyword argument 'bad'",
        ),
        # A name that is not valid UTF-8 matches nothing and is shown with replacement characters.
        (([],), {"\udcff": 1}, f"{NAME} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ],
)
def test_binding_errors(apsp, args, kwargs, message):
    error = error_of(lambda: apsp(*args, **kwargs))
    assert type(error) is TypeError
    assert str(error) == message
    assert error.__cause__ is None and not error.__suppress_context__


def test_arguments_bind_by_position_or_keyword(apsp):
    edges = [(1, 2, 1.0), (2, 3, 1.0)]
    expected = apsp(edges, 1.5)
    assert apsp(edges=edges, cutoff=1.5) == expected
    assert apsp(edges, cutoff=1.5) == expected
    assert apsp(cutoff=1.5, edges=edges) == expected
    assert apsp(edges) == apsp(edges, None) == apsp(edges, cutoff=None)


# --- conversion failures ------------------------------------------------------------------------


class Point(collections.namedtuple("Point", "source target weight")):
    pass


def generator():
    yield (1, 2, 1.0)


@pytest.mark.parametrize(
    "edges, kind, message",
    [
        ("", TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
        ("abc", TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'edges': 'int' object cannot be cast as 'Sequence'"),
        ({}, TypeError, "argument 'edges': 'dict' object cannot be cast as 'Sequence'"),
        (set(), TypeError, "argument 'edges': 'set' object cannot be cast as 'Sequence'"),
        (
            generator(),
            TypeError,
            "argument 'edges': 'generator' object cannot be cast as 'Sequence'",
        ),
        (None, TypeError, "argument 'edges': 'NoneType' object cannot be cast as 'Sequence'"),
        ([[1, 2, 0.5]], TypeError, "argument 'edges': 'list' object cannot be cast as 'tuple'"),
        (b"\x01", TypeError, "argument 'edges': 'int' object cannot be cast as 'tuple'"),
        ([(1, 2)], ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ([(1, 2, 3.0, 4)], ValueError, "expected tuple of length 3, but got tuple of length 4"),
        ([()], ValueError, "expected tuple of length 3, but got tuple of length 0"),
        # The first bad element decides; later ones are not looked at.
        (
            [(1, 2, 1.0), "x", (1,)],
            TypeError,
            "argument 'edges': 'str' object cannot be cast as 'tuple'",
        ),
        (
            [(1, 2, 1.0), (1,), "x"],
            ValueError,
            "expected tuple of length 3, but got tuple of length 1",
        ),
        ([(-1, 2, 1.0)], OverflowError, "can't convert negative int to unsigned"),
        ([(1, 2**64, 1.0)], OverflowError, "int too big to convert"),
        ([(2**32, 1, 1.0)], OverflowError, "out of range integral type conversion attempted"),
        ([(1, 2**64 - 1, 1.0)], OverflowError, "out of range integral type conversion attempted"),
        (
            [(1.0, 2, 1.0)],
            TypeError,
            "argument 'edges': 'float' object cannot be interpreted as an integer",
        ),
        (
            [("1", 2, 1.0)],
            TypeError,
            "argument 'edges': 'str' object cannot be interpreted as an integer",
        ),
        ([(1, 2, "x")], TypeError, "argument 'edges': must be real number, not str"),
        ([(1, 2, None)], TypeError, "argument 'edges': must be real number, not NoneType"),
        ([(1, 2, 10**400)], OverflowError, "int too large to convert to float"),
    ],
)
def test_conversion_errors(apsp, edges, kind, message):
    error = error_of(lambda: apsp(edges))
    assert type(error) is kind
    assert str(error) == message
    if message.startswith("argument"):
        assert error.__cause__ is None
        assert error.__suppress_context__ is True


@pytest.mark.parametrize(
    "cutoff, message",
    [
        ("x", "argument 'cutoff': must be real number, not str"),
        ([], "argument 'cutoff': must be real number, not list"),
    ],
)
def test_cutoff_errors(apsp, cutoff, message):
    error = error_of(lambda: apsp([(1, 2, 1.0)], cutoff))
    assert type(error) is TypeError and str(error) == message
    assert error.__cause__ is None and error.__suppress_context__ is True


def test_edges_are_checked_before_cutoff(apsp):
    error = error_of(lambda: apsp("x", "y"))
    assert str(error) == "argument 'edges': Can't extract `str` to `Vec`"
    error = error_of(lambda: apsp([(1, 2)], cutoff="y"))
    assert type(error) is ValueError


def test_cutoff_overflow_is_not_prefixed(apsp):
    error = error_of(lambda: apsp([], 10**400))
    assert type(error) is OverflowError and str(error) == "int too large to convert to float"


# The first refusal of a non-sequence imports collections.abc; an import hook that calls the
# function again from inside that import must not wait for itself.
REENTRANT_IMPORT_SCRIPT = """
import builtins, dorvane
f = dorvane.all_pairs_dijkstra_path_length
real_import = builtins.__import__
def hook(name, *args, **kwargs):
    if name == "collections.abc" and builtins.__import__ is hook:
        builtins.__import__ = real_import
        try:
            f(5)
        except TypeError as error:
            print("inner", error)
    return real_import(name, *args, **kwargs)
builtins.__import__ = hook
for edges in (5, {}):
    try:
        f(edges)
    except TypeError as error:
        print("outer", error)
"""


def test_sequence_type_lookup_reentered_from_an_import_hook(python_subprocess):
    run = python_subprocess(REENTRANT_IMPORT_SCRIPT, timeout=30)
    assert run.returncode == 0, run.stderr
    cast = "argument 'edges': '{}' object cannot be cast as 'Sequence'"
    assert run.stdout.splitlines() == [
        "inner " + cast.format("int"),
        "outer " + cast.format("int"),
        "outer " + cast.format("dict"),
    ]


# --- caller objects whose own methods fail -------------------------------------------------------


class Raising:
    """Raises `error` from whichever conversion hook the module calls."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


class FailingSequence:
    def __init__(self, where, error, items=((1, 2, 1.0),)):
        self.where, self.error, self.items = where, error, list(items)

    def __len__(self):
        if self.where == "len":
            raise self.error
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.where == "iter":
            raise self.error
        return FailingIterator(self)


class FailingIterator:
    def __init__(self, owner):
        self.owner, self.position = owner, 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.owner.where == "next":
            raise self.owner.error
        if self.position == len(self.owner.items):
            raise StopIteration
        self.position += 1
        return self.owner.items[self.position - 1]


def calls_failing_in(where, error):
    """Calls that make the module meet `error` raised from the caller's `where` hook."""
    return {
        "index": lambda f: f([(Raising(error), 2, 1.0)]),
        "float": lambda f: f([(1, 2, Raising(error))]),
        "cutoff": lambda f: f([(1, 2, 1.0)], Raising(error)),
        "iter": lambda f: f(FailingSequence("iter", error)),
        "next": lambda f: f(FailingSequence("next", error)),
    }[where]


HOOKS = ["index", "float", "cutoff", "iter", "next"]


@pytest.mark.parametrize("where", HOOKS)
def test_caller_errors_other_than_type_error_pass_unchanged(apsp, where):
    original = KeyError("from the caller")
    error = error_of(lambda: calls_failing_in(where, original)(apsp))
    assert error is original


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("where", HOOKS)
def test_type_error_subclasses_pass_unchanged(apsp, where):
    original = MyTypeError("mine")
    assert error_of(lambda: calls_failing_in(where, original)(apsp)) is original


@pytest.mark.parametrize("where", HOOKS)
def test_caller_type_errors_are_prefixed_and_keep_only_the_cause(apsp, where):
    cause = LookupError("the cause")
    original = TypeError("bad value")
    original.__cause__ = cause
    original.__context__ = ValueError("dropped context")
    error = error_of(lambda: calls_failing_in(where, original)(apsp))
    name = "cutoff" if where == "cutoff" else "edges"
    assert type(error) is TypeError
    assert str(error) == f"argument '{name}': bad value"
    assert error is not original
    assert error.__cause__ is cause
    assert error.__suppress_context__ is True
    assert error.__context__ is not original.__context__


def test_failing_len_is_only_a_hint(apsp):
    sequence = FailingSequence("len", RuntimeError("no length"))
    assert apsp(sequence) == {1: {1: 0.0, 2: 1.0}, 2: {2: 0.0, 1: 1.0}}


def test_unprintable_type_error_message(apsp, monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("cannot print")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    error = error_of(lambda: apsp([(Raising(TypeError(Unprintable())), 1, 1.0)]))
    assert type(error) is TypeError
    assert str(error) == "argument 'edges': <unprintable TypeError object>"
    assert len(seen) == 1 and type(seen[0].exc_value) is RuntimeError
    # The hook's argument is invisible to the garbage collector, and its traceback leads back to
    # this frame and so to `seen`: the cycle would never be freed.
    seen.clear()


def test_type_names_that_cannot_be_encoded(apsp):
    class Odd:
        pass

    Odd.__qualname__ = "Odd\udc80Name"
    error = error_of(lambda: apsp([Odd()]))
    expected = "'Odd\ufffd\ufffd\ufffdName' object cannot be cast as 'tuple'"
    assert str(error) == f"argument 'edges': {expected}"


# --- accepted values -----------------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floatish:
    def __float__(self):
        return 2.5


class StrictTuple(tuple):
    def __getitem__(self, index):
        raise AssertionError("items are read from the tuple's storage")

    def __iter__(self):
        raise AssertionError("items are read from the tuple's storage")


@pytest.mark.parametrize("empty", [[], (), b"", bytearray(), range(0)])
def test_empty_sequences(apsp, empty):
    assert apsp(empty) == {}


def test_accepted_node_and_weight_forms(apsp):
    assert apsp([(True, 4294967295, 2)]) == {
        1: {1: 0.0, 4294967295: 2.0},
        4294967295: {4294967295: 0.0, 1: 2.0},
    }
    assert apsp([(Index(7), Index(8), Floatish())]) == {7: {7: 0.0, 8: 2.5}, 8: {8: 0.0, 7: 2.5}}
    assert apsp([Point(1, 2, 0.5)]) == apsp([(1, 2, 0.5)])
    assert apsp([StrictTuple((1, 2, 0.5))]) == apsp([(1, 2, 0.5)])
    assert apsp(((1, 2, -1.0 + 2),)) == apsp([(1, 2, 1.0)])
    # A weight of exactly -1.0 is a value, not a failure signal.
    assert apsp([(1, 2, Index(-1))], cutoff=-5) == {1: {1: 0.0}, 2: {2: 0.0}}
    assert apsp([(1, 2, 1.0)], 3) == apsp([(1, 2, 1.0)], 3.0)
    assert apsp([(1, 2, 1.0)], Floatish()) == apsp([(1, 2, 1.0)], 2.5)


class Sized:
    """A sequence whose __len__ claims `claimed` elements but which yields `items`."""

    def __init__(self, claimed, items):
        self.claimed, self.items = claimed, items

    def __len__(self):
        return self.claimed

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("claimed", [0, 1, 2**20, 2**44, 2**58])
def test_size_hint_is_only_a_hint(apsp, claimed):
    edges = [(1, 2, 1.0), (2, 3, 1.0), (3, 4, 1.0)]
    assert apsp(Sized(claimed, edges)) == apsp(edges)


def test_size_hint_beyond_any_allocation_is_capacity_overflow(apsp, panic_type):
    error = error_of(lambda: apsp(Sized(2**59, [(1, 2, 1.0)])))
    assert type(error) is panic_type and str(error) == "capacity overflow"
    error = error_of(lambda: apsp(Sized(sys.maxsize, [(1, 2, 1.0)])))
    assert type(error) is panic_type and str(error) == "capacity overflow"
