"""zorv in notebooks: results and run records show themselves as HTML with
their animation inline, a history comes as arrays or a DataFrame, a search
shows its progress, and the example notebook runs top to bottom."""
import base64
import re
import subprocess
import sys
import textwrap
import types
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

import zorv
from zorv.records import History

ROOT = Path(__file__).resolve().parents[1]
SVG = "{http://www.w3.org/2000/svg}"


def inline_pictures(html):
    """The SVG pictures that the HTML shows as images of their own text."""
    return [ET.fromstring(base64.b64decode(data)) for data in
            re.findall(r'src="data:image/svg\+xml;base64,([A-Za-z0-9+/=]+)"', html)]


@pytest.fixture(scope="module")
def result():
    # Its first run converges at once: the search restarts once.
    return zorv.search(zorv.SearchSettings(seed=3, popsize=8, evaluations=3000, restarts=1,
                                           sigma0=1e-11))


class TestHtml:
    def test_a_result_shows_its_distance_settings_and_its_run(self, result):
        html = result._repr_html_()
        assert f"<td style=\"text-align: left\">{result.score!r}</td>" in html
        assert "popsize 8" in html and "seed 3" in html and "from the zero plan" in html
        [picture] = inline_pictures(html)
        record = zorv.record_run(result.plan)
        assert len(picture.findall(f"{SVG}g[@class='frame']")) == record.steps
        assert picture.findall(f".//{SVG}rect[@class='contact']")  # the gait diagram

    def test_a_record_shows_its_run_and_a_warm_start_says_so(self, result):
        record = zorv.record_run(result.plan)
        [picture] = inline_pictures(record._repr_html_())
        assert len(picture.findall(f"{SVG}g[@class='frame']")) == record.steps
        warm = zorv.search(zorv.SearchSettings(seed=1, popsize=8, generations=1,
                                               start=result.plan))
        assert "from a given start plan" in warm._repr_html_()

    def test_texts_from_the_user_are_escaped(self):
        from zorv.display.notebook import summary_html
        html = summary_html("<b>", {"a & b": "<script>"})
        assert "<script>" not in html and "&lt;script&gt;" in html and "<b>" not in html


class TestHistory:
    def test_arrays_and_a_data_frame_one_row_per_generation(self, result):
        history = result.history
        arrays = history.to_arrays()
        assert arrays["evaluations"].dtype == np.int64 and arrays["best"].dtype == np.float64
        assert arrays["best"].tolist() == history.best
        assert arrays["evaluations"].tolist() == history.evaluations
        # The run each generation belongs to, from run_starts.
        assert result.runs == 2
        assert arrays["run"].tolist() == [0] * history.run_starts[1] + [1] * (
            len(history) - history.run_starts[1])
        pandas = pytest.importorskip("pandas", reason="the notebook extra installs pandas")
        frame = history.to_pandas()
        assert isinstance(frame, pandas.DataFrame) and len(frame) == len(history)
        assert frame["median"].tolist() == history.median

    def test_without_pandas_says_what_to_install(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError, match="needs pandas: pip install pandas"):
            History([1], [1.0], [1.0], [0.1]).to_pandas()


class TestProgress:
    def test_a_line_on_standard_error_in_a_script(self):
        script = textwrap.dedent("""
            import zorv
            zorv.search(zorv.SearchSettings(seed=1, popsize=8, generations=3), progress=True)
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0 and done.stdout == ""
        assert done.stderr.splitlines()[-1].startswith("[####################] generation 3/3")

    def test_a_display_that_updates_itself_in_a_notebook(self, monkeypatch):
        shown = []

        class Handle:
            def update(self, html):
                shown.append(html)

        def display(html, display_id):
            assert display_id is True
            shown.append(html)
            return Handle()

        ipython = types.ModuleType("IPython")
        ipython.get_ipython = lambda: types.SimpleNamespace(kernel=object())
        ipython_display = types.ModuleType("IPython.display")
        ipython_display.display, ipython_display.HTML = display, lambda text: text
        monkeypatch.setitem(sys.modules, "IPython", ipython)
        monkeypatch.setitem(sys.modules, "IPython.display", ipython_display)
        seen = []
        zorv.search(zorv.SearchSettings(seed=1, popsize=8, generations=4), progress=True,
                    on_generation=seen.append)
        assert [p.generation for p in seen] == [1, 2, 3, 4]
        assert "generation 4/4" in shown[-1] and len(shown) >= 2


def test_the_example_notebook_runs_top_to_bottom():
    nbformat = pytest.importorskip("nbformat", reason="the notebook extra runs notebooks")
    nbclient = pytest.importorskip("nbclient", reason="the notebook extra runs notebooks")
    pytest.importorskip("ipykernel", reason="the notebook extra installs a kernel")
    notebook = nbformat.read(ROOT / "examples" / "studying_a_gait.ipynb", as_version=4)
    nbclient.NotebookClient(notebook, timeout=600, kernel_name="python3").execute()
    outputs = [output for cell in notebook.cells if cell.cell_type == "code"
               for output in cell.outputs]
    assert not [output for output in outputs if output.output_type == "error"]
    html = [output["data"]["text/html"] for output in outputs if "text/html" in output.get("data", {})]
    assert sum(len(inline_pictures(text)) for text in html) >= 3  # two results and a record
