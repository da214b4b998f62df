"""python -m zorv check: the documented scores hold here; they do not with the
C library's non-FMA atan2 forced; the batch path and thread count it reports
follow the switches and variables; it names the core library it loaded and
the installed files that are not as installed."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from stress_support import under_address_sanitizer

from zorv.command_line import check
from zorv.machine import facts


def run_check(variables, address_space=None):
    """`python -m zorv check` with these variables, and no address space
    beyond `address_space` bytes (threads' stacks 8 MiB then)."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(("ZORV_FAST_", "RAYON_", "GLIBC_TUNABLES"))}
    env.update(variables)

    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (address_space, resource.RLIM_INFINITY))
        resource.setrlimit(resource.RLIMIT_STACK, (8 * 2**20, resource.RLIM_INFINITY))

    return subprocess.run([sys.executable, "-m", "zorv", "check"], env=env, capture_output=True,
                          text=True, timeout=120,
                          preexec_fn=None if address_space is None else limit)


#: 2,000 threads' stacks of 2 MiB do not fit in this address space, whatever
#: else the process has taken by then.
TOO_SMALL_FOR_2000_THREADS = 1_200_000_000


@pytest.mark.parametrize("variables, address_space, status, expected", [
    ({}, None, 0, [
        "atan2:      glibc's FMA variant, the one the documented scores come from",
        "scores:     the documented ones, bit for bit: 5 plans through sim and sim_batch",
        "files:      as the installation recorded them",
        "result:     the documented scores hold on this machine",
    ]),
    ({"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-FMA", "RAYON_NUM_THREADS": "3"}, None, 1, [
        "atan2:      glibc's variant for CPUs without FMA, which rounds about 2 angles in 10,000 "
        "the other way (GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA)",
        "scores:     4 of 5 documented through sim, 4 of 5 through sim_batch",
        "threads:    3 worker threads: RAYON_NUM_THREADS=3",
        "result:     not the documented scores: the plan -1, +1, ... scores 0.07460864125456827 "
        "instead of 0.0746086412545685; scores stored on a machine that gives the documented "
        "scores will not all come out the same here, bit for bit, nor these there",
    ]),
    ({"ZORV_FAST_NO_SIMD": "1", "RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}, None, 0, [
        "batch path: portable path: ZORV_FAST_NO_SIMD is set",
        "threads:    5 worker threads: RAYON_RS_NUM_CPUS=5 (not used: RAYON_NUM_THREADS='x')",
        "result:     the documented scores hold on this machine",
    ]),
    ({"RAYON_NUM_THREADS": "2000"}, TOO_SMALL_FOR_2000_THREADS, 1, [
        "scores:     5 of 5 documented through sim; sim_batch could not run",
        "threads:    sim_batch could not start its 2000 worker threads (RAYON_NUM_THREADS=2000): "
        "Resource temporarily unavailable; set RAYON_NUM_THREADS to fewer threads",
        "result:     sim_batch cannot score here with these settings: its worker threads could "
        "not start (see threads)",
    ]),
], ids=["here", "non-fma-atan2", "portable", "threads-cannot-start"])
def test_check_says_whether_the_documented_scores_hold(variables, address_space, status,
                                                       expected):
    if address_space is not None and under_address_sanitizer():
        pytest.skip("the sanitizer's shadow memory cannot live under an address-space cap")
    result = run_check(variables, address_space)
    assert result.returncode == status, result.stdout + result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == f"C library:  {facts.c_library()}"
    assert set(expected) <= set(lines), result.stdout


def test_the_core_library_and_a_changed_file_are_named(tmp_path):
    from installation_support import REINSTALL, copy_of_installation, core_library, environment
    site = copy_of_installation(tmp_path)
    changed = site / "zorv" / "display" / "svg_document.py"
    text = changed.read_text()
    changed.write_text(text.replace("the", "THE", 1))  # the same size, other contents
    assert changed.read_text() != text
    result = subprocess.run([sys.executable, "-m", "zorv", "check"], env=environment(site),
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and result.stderr == "", result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert f"core:       {core_library(site)}" in lines
    assert f"files:      {changed} differs from the installation's record of it" in lines
    assert lines[-1] == f"result:     the installed files are not as installed (see files): {REINSTALL}"


def test_a_disagreement_or_an_old_library_is_reported():
    settings = ("avx2_lanes", "four AVX2 lanes with the C library's atan2", "no_fma",
                "this CPU has no FMA, which the fast atan2 needs", "cpu_lacks",
                "not taken: this CPU lacks AVX-512 F, DQ, BW or VL", 2, None, "cgroup_quota")
    scores = [documented.score for documented in check.DOCUMENTED_SCORES]
    report = check.examine(lambda plan: scores[0], lambda plans: scores, lambda: settings,
                           lambda y, x: 0.0, facts.CLibrary("glibc", (2, 31)))
    lines = check.describe(report, {})
    assert not report.documented_scores_hold
    assert lines[0] == "C library:  glibc 2.31, older than 2.35: its atan2 computes angles differently"
    assert lines[1].startswith("atan2:      neither of glibc's variants")
    assert lines[3:6] == [
        "batch path: four AVX2 lanes with the C library's atan2: this CPU has no FMA, which the "
        "fast atan2 needs",
        "AVX-512:    not taken: this CPU lacks AVX-512 F, DQ, BW or VL",
        "threads:    2 worker threads: the control group's CPU quota"]
    assert lines[-1].startswith("result:     not the documented scores: sim and sim_batch disagree")


def test_readme_quotes_the_documented_scores():
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    usage = readme.split("## Score plans", 1)[1].split("\n## ", 1)[0]
    quoted = {float(number) for number in re.findall(r"\d\.\d{12,}", usage)}
    assert quoted and quoted <= {documented.score for documented in check.DOCUMENTED_SCORES}


def test_check_reports_the_lanes_sim_batch_takes():
    from test_batch_paths import avx512_usable
    lines = set(run_check({"ZORV_FAST_NO_AVX512": "1"}).stdout.splitlines())
    if avx512_usable():
        assert "AVX-512:    not taken: ZORV_FAST_NO_AVX512 is set" in lines
        assert "AVX-512:    taken: this CPU has AVX-512 F, DQ, BW and VL, and the system saves " \
               "their registers" in set(run_check({}).stdout.splitlines())
    else:
        assert "AVX-512:    not taken: this CPU lacks AVX-512 F, DQ, BW or VL" in lines
    assert "batch path: four AVX2 lanes with the exact fast atan2: the fast atan2 gave this C " \
           "library's bits on every checked input" in lines


@pytest.mark.parametrize("failure, system_error", [
    ("The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
     "IOError(Resource temporarily unavailable) }", "Resource temporarily unavailable"),
    ("The global thread pool has not been initialized.: ThreadPoolBuildError { kind: IOError("
     'Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }) }',
     "Resource temporarily unavailable"),
    ("scoring failed: PanicException: The global thread pool has not been initialized.: "
     "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }",
     "they could not start in an earlier call of this process"),
    (RuntimeError("scoring failed: PanicException: The global thread pool has not been "
                  "initialized.: ThreadPoolBuildError { kind: IOError(Cannot allocate memory) }"),
     "Cannot allocate memory"),
    ("scoring failed: KilledWorker: the thread pool of a worker", None),
    (ValueError("scoring failed: PanicException: Python API call failed"), None),
])
def test_a_pool_that_could_not_start_is_told_from_other_failures(failure, system_error):
    assert facts.pool_start_error(failure) == system_error
    if isinstance(failure, BaseException):  # as the cause of a search's failure
        wrapped = RuntimeError("the search failed")
        wrapped.__cause__ = failure
        assert facts.pool_start_error(wrapped) == system_error
