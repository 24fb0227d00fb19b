"""The installed type information, as a type checker sees it."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import dorvane

installed_stub = Path(dorvane.__file__).parent / "dorvane-stubs" / "__init__.pyi"


@pytest.mark.skipif(not installed_stub.exists(), reason="needs an installed distribution")
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy")
def test_a_type_checker_knows_the_signature_and_the_result(tmp_path):
    program = tmp_path / "client.py"
    program.write_text(
        "import dorvane\n"
        "result = dorvane.all_pairs_dijkstra_path_length([(1, 2, 0.5)], cutoff=None)\n"
        "reveal_type(result)\n"
        "dorvane.all_pairs_dijkstra_path_length([(1, 2, 0.5)], weight=1.0)\n"
    )
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", str(program)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    report = checked.stdout.replace("builtins.", "")
    assert 'Revealed type is "dict[int, dict[int, float]]"' in report
    assert 'Unexpected keyword argument "weight"' in report
