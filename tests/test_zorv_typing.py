"""Typing: the zorv package and the CMA-ES example pass `mypy --strict`
against the installed stubs, and the stubs match the modules at run time."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


#: Code that uses the package's own names, as a user's code does: the package
#: imports them on first use, and must still export them, typed, to mypy.
USER_CODE = """
import zorv
from zorv import SearchSettings, trace

result: zorv.SearchResult = zorv.search(SearchSettings(seed=1, generations=2))
head_x: float = float(trace(result.plan)[-1, zorv.HEAD, 0])
scores: list[float] = zorv.sim_batch([result.plan]) + [zorv.sim(result.plan)]
"""


def test_mypy_strict(tmp_path):
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    user_code = tmp_path / "user_code.py"
    user_code.write_text(USER_CODE)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), str(ROOT / "python" / "zorv"),
         str(ROOT / "examples" / "cma_search.py"), str(user_code)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_match_the_modules(tmp_path):
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zorv_fast", "zorv._trace", "zorv._cmaes"],
        capture_output=True, text=True, timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_package_is_marked_typed():
    import zorv
    import zorv_fast
    package = Path(zorv.__file__).parent
    assert (package / "py.typed").is_file()
    assert (package / "_trace.pyi").is_file()
    beside = Path(zorv_fast.__file__).with_name("zorv_fast.pyi")
    assert beside.is_file()
    # mypy reads a single-file module's stub only from a stub package.
    stub_package = beside.with_name("zorv_fast-stubs") / "__init__.pyi"
    assert stub_package.read_bytes() == beside.read_bytes()
