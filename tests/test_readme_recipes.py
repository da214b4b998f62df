"""The README's Python recipes, pasted into a file and run as they stand."""
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zorv_fast

README = Path(__file__).resolve().parents[1] / "README.md"


def recipe_with(text):
    """The README's one Python block that holds `text`."""
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    found = [block for block in blocks if text in block]
    assert len(found) == 1, f"{len(found)} blocks hold {text!r}"
    return found[0]


def run_as_script(text, folder):
    script = folder / "recipe.py"
    script.write_text(text, encoding="utf-8")
    return subprocess.run([sys.executable, str(script)], cwd=folder, capture_output=True,
                          text=True, timeout=600)


@pytest.mark.parametrize("marker, check", [
    ("result.history.best", None),
    ("class RandomSearch", "random-search.json"),
])
def test_search_recipes(tmp_path, marker, check):
    result = run_as_script(recipe_with(marker), tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    if check:
        data = json.loads((tmp_path / check).read_text())
        assert data["settings"]["optimizer"] == "random-search"
        assert data["score"] == zorv_fast.sim(data["plan"]) and len(data["history"]["best"]) == 20
        plotted = subprocess.run([sys.executable, "-m", "zorv", "plot", check, "-o", "c.svg"],
                                 cwd=tmp_path, capture_output=True, text=True)
        assert plotted.returncode == 0, plotted.stderr
        assert "random-search, popsize 256, seed 1" in (tmp_path / "c.svg").read_text()


def test_dask_recipe(tmp_path):
    pytest.importorskip("distributed", reason="Dask comes with the test extra")
    result = run_as_script(recipe_with("DaskScorer(client)"), tmp_path)
    assert result.returncode == 0, result.stderr[-3000:]
    assert float(result.stdout.split()[-1]) > 2.0
