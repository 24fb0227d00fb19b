import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import dorvane

# Set (to the emulator's name) where the tests run under user-mode emulation, as CI runs them for
# the aarch64 wheel: there a few tests measure the emulator rather than the module.
EMULATED = os.environ.get("DORVANE_EMULATED", "")

# A shell without job control (`bash .ci/run &`, nohup) starts its background jobs with SIGINT
# ignored, which every interpreter started from here would inherit and keep: Ctrl-C would then
# raise nothing. With a handler here, the children start with the default disposition instead.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "emulation_unsafe(reason): meaningless, or far too slow, under user-mode emulation; "
        "skipped where DORVANE_EMULATED is set",
    )


def pytest_collection_modifyitems(config, items):
    if not EMULATED:
        return
    for item in items:
        marker = item.get_closest_marker("emulation_unsafe")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason=f"under {EMULATED}: {marker.args[0]}"))


@pytest.fixture(scope="session")
def apsp():
    return dorvane.all_pairs_dijkstra_path_length


@pytest.fixture(scope="session")
def panic_type():
    """The class of the module's panics, taken from a real one."""
    try:
        dorvane.all_pairs_dijkstra_path_length([(0, 1, -1.0)])
    except BaseException as error:  # noqa: B036 - the class derives from BaseException
        return type(error)
    pytest.fail("a negative edge did not panic")


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter that imports the same build of dorvane."""
    full_env = dict(os.environ)
    module_dir = str(Path(dorvane.__file__).parent)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [module_dir] + [p for p in [full_env.get("PYTHONPATH")] if p]
    )
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python


def dynamic_symbols(which):
    """The module's dynamic symbols that nm lists with `which` ("--defined-only" or
    "--undefined-only"), as (type, name) pairs; skips the test when nm is not installed."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", which, dorvane.__file__], capture_output=True, text=True, check=True
    ).stdout
    return [(line.split()[-2], line.split()[-1]) for line in listing.splitlines()]


@pytest.fixture
def module_symbols():
    return dynamic_symbols
