"""Import of the module: its attributes, its identity across imports, and what it exports."""

import ast
import importlib
import inspect
import sys
import textwrap
from pathlib import Path

import pytest

import dorvane

SUBINTERPRETER_MESSAGE = (
    "dorvane does not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html"
)


def test_attributes():
    assert dorvane.__all__ == ["all_pairs_dijkstra_path_length"]
    function = dorvane.all_pairs_dijkstra_path_length
    assert function.__module__ == "dorvane"
    assert function.__self__ is dorvane
    assert function.__name__ == "all_pairs_dijkstra_path_length"
    assert "PanicException" not in dir(dorvane)
    assert isinstance(dorvane.__doc__, str) and dorvane.__doc__.count(".") == 1


def test_text_signature():
    function = dorvane.all_pairs_dijkstra_path_length
    assert function.__text_signature__ == "(edges, cutoff=None)"
    assert str(inspect.signature(function)) == "(edges, cutoff=None)"
    assert function.__doc__ is None


def test_reimport_gives_the_same_module():
    first = sys.modules["dorvane"]
    try:
        del sys.modules["dorvane"]
        again = importlib.import_module("dorvane")
    finally:
        sys.modules["dorvane"] = first
    assert again is first
    assert first.__all__ == ["all_pairs_dijkstra_path_length"]


def test_the_only_export_is_the_init_function(module_symbols):
    exported = [name for kind, name in module_symbols("--defined-only") if kind != "A"]
    assert exported == ["PyInit_dorvane"]


SUBINTERPRETER_SCRIPT = """
import dorvane
try:
    import _interpreters as interpreters  # 3.13 and later
    interpreter = interpreters.create("legacy")
    failure = interpreters.exec(interpreter, "import dorvane")
    print(failure.type.__name__, failure.msg)
except ImportError:
    import _xxsubinterpreters as interpreters  # 3.11 and 3.12
    try:
        interpreter = interpreters.create(isolated=False)  # 3.12: allow single-phase modules
    except TypeError:
        interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, "import dorvane")
    except interpreters.RunFailedError as failure:
        print(str(failure))
interpreters.destroy(interpreter)
print(dorvane.all_pairs_dijkstra_path_length([(1, 2, 0.5)])[1][2])
"""


def test_a_second_interpreter_is_refused(python_subprocess):
    run = python_subprocess(
        "try:\n    import _interpreters\nexcept ImportError:\n    import _xxsubinterpreters\n"
    )
    if run.returncode != 0:
        pytest.skip("this interpreter offers no subinterpreters")
    run = python_subprocess(SUBINTERPRETER_SCRIPT)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    # The failure's report names the class and the message; its layout is the interpreter's.
    assert "ImportError" in lines[0] and lines[0].endswith(SUBINTERPRETER_MESSAGE)
    assert lines[1] == "0.5"


FINALIZING_SCRIPT = textwrap.dedent(
    """
    import os, sys, dorvane

    class Late:
        def __del__(self, f=dorvane.all_pairs_dijkstra_path_length, write=os.write,
                    finalizing=sys.is_finalizing):
            for args in (("x",), ([(1, 2, 1.0)],), ([(-1, 2, 1.0)],), ([(1, 2)],),
                         ([], "x"), ([], 1, 2)):
                try:
                    outcome = "ok %d" % len(f(*args))
                except BaseException as error:
                    outcome = "%s: %s" % (type(error).__name__, error)
                write(1, ("%s %s\\n" % (finalizing(), outcome)).encode())

    # A cycle is collected only by the last collection, once shutdown has begun.
    late = Late()
    late.cycle = late
    del late
    """
)


def test_argument_errors_while_finalizing(python_subprocess):
    run = python_subprocess(FINALIZING_SCRIPT)
    refused = "PanicException: Cannot attach to the Python interpreter while it is finalizing."
    assert run.stdout.splitlines() == [
        f"True {refused}",
        "True ok 2",
        # Fetched from the interpreter and not a TypeError: passed on as it is.
        "True OverflowError: can't convert negative int to unsigned",
        f"True {refused}",
        f"True {refused}",
        "True TypeError: all_pairs_dijkstra_path_length() takes from 1 to 2 positional arguments"
        " but 3 were given",
    ]


def test_stub_declares_the_function():
    stub = Path(__file__).resolve().parents[2] / "src" / "module" / "dorvane.pyi"
    tree = ast.parse(stub.read_text())
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert [f.name for f in functions] == ["all_pairs_dijkstra_path_length"]
    parameters = [a.arg for a in functions[0].args.args]
    assert parameters == ["edges", "cutoff"]
    assert ast.unparse(functions[0].returns) == "dict[int, dict[int, float]]"
