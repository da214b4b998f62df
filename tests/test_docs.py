"""The manual: the site builds with warnings as errors, its references name
every public function and option, and every code block in it and in the
README runs as it stands (pycon blocks with their outputs checked)."""
import argparse
import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zorv
import zorv_fast

ROOT = Path(__file__).resolve().parents[1]
PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])
NOT_RUN = re.compile(r"<!-- not run: [^>]+ -->\s*$")
BLOCK = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```", re.S | re.M)
SNIPPET = re.compile(r'^--8<-- "([^"]+)"$', re.M)


def code_blocks(page):
    """(language, code) of each block of the page that is meant to run."""
    text = page.read_text(encoding="utf-8")
    blocks = []
    for match in BLOCK.finditer(text):
        if NOT_RUN.search(text[:match.start()].rstrip("\n") + "\n"):
            continue
        code = SNIPPET.sub(lambda m: (ROOT / m.group(1)).read_text(encoding="utf-8"),
                           match.group(2))
        blocks.append((match.group(1), code))
    return blocks


def run_block(language, code, folder, bin_dir):
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    if language == "python":
        script = folder / "block.py"
        script.write_text(code, encoding="utf-8")
        done = subprocess.run([sys.executable, str(script)], cwd=folder, env=env,
                              capture_output=True, text=True, timeout=600)
    elif language == "sh":
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", code], cwd=folder, env=env,
                              capture_output=True, text=True, timeout=600)
    elif language == "pycon":
        test = doctest.DocTestParser().get_doctest(code, {}, "block", None, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        output = []
        before = os.getcwd()
        os.chdir(folder)
        try:
            runner.run(test, out=output.append)
        finally:
            os.chdir(before)
        assert runner.failures == 0, "".join(output)
        return
    else:
        return  # text, output samples: nothing to run
    assert done.returncode == 0, f"{code}\n---\n{done.stdout[-2000:]}{done.stderr[-3000:]}"


#: Where a code block names a file that it writes: after -o, --output or
#: --svg, or as the file that a result or a chart is saved to from Python.
WRITTEN = re.compile(r"(?:-o|--output|--svg)[ =](\S+)|(?:save|write_text|Path)\(\"([^\"]+)\"")


def test_pages_write_files_of_their_own():
    """A reader who follows one page after another in one folder meets no
    file of an earlier page: a search would refuse to replace it."""
    writers = {}
    for page in PAGES:
        for match in BLOCK.finditer(page.read_text(encoding="utf-8")):  # those not run too
            for written in WRITTEN.finditer(match.group(2)):
                writers.setdefault(written.group(1) or written.group(2), set()).add(page.name)
    assert len(writers) > 20
    assert {path: pages for path, pages in writers.items() if len(pages) > 1} == {}


@pytest.fixture(scope="module")
def bin_dir(tmp_path_factory):
    """`python` and `zorv` as this interpreter's, for the shell blocks."""
    folder = tmp_path_factory.mktemp("bin")
    # Scripts, not links: a link to a virtual environment's interpreter
    # would not find the environment.
    for name, command in (("python", ""), ("zorv", " -m zorv")):
        (folder / name).write_text(f'#!/bin/sh\nexec "{sys.executable}"{command} "$@"\n')
        (folder / name).chmod(0o755)
    return folder


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(ROOT)) for p in PAGES])
def test_code_blocks_run(page, tmp_path, bin_dir):
    for language, code in code_blocks(page):
        run_block(language, code, tmp_path, bin_dir)


def test_site_builds_strictly_with_every_name_and_option(tmp_path):
    pytest.importorskip("mkdocstrings", reason="the docs extra builds the site")
    site = tmp_path / "site"
    built = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir",
                            str(site)], cwd=ROOT, capture_output=True, text=True,
                           env=dict(os.environ, NO_MKDOCS_2_WARNING="1"), timeout=300)
    assert built.returncode == 0, built.stderr[-3000:]
    api = (site / "reference" / "python" / "index.html").read_text(encoding="utf-8")
    for name in [*zorv_fast.__all__, *zorv.__all__]:
        assert re.search(rf'id="[\w.]*\b{re.escape(name)}"', api), name
    cli = (site / "reference" / "cli" / "index.html").read_text(encoding="utf-8")
    from zorv.command_line.arguments import build_parser
    parser = build_parser("zorv")
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    for name, command in [("", parser), *commands.choices.items()]:
        assert f"zorv {name}" in cli
        for action in command._actions:
            if not isinstance(action, argparse._HelpAction):
                for flag in action.option_strings:
                    assert f"<code>{flag}" in cli, (name, flag)
