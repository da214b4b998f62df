#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan-site (the normal install is left alone) and runs the whole
# Python test suite against it, then the leak, argument and reentrancy tests
# again with LeakSanitizer on. Any sanitizer report fails the stage.
#
# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it (and, through the environment, into every subprocess the tests start);
# PYTHONPATH puts the sanitized zorv_fast and zorv first for them all.
#
# Leak checking: the full suite runs with detect_leaks=0. CPython, NumPy and
# SciPy leave allocations behind at exit by design, so LeakSanitizer would
# fail every interpreter process, and the programs that the suite runs (nm,
# the pyenv shims) leak at exit as well. The second pass turns it on and fails
# only on a leak whose allocation stack passes through zorv_fast or
# zorv._trace. It also needs intercept_tls_get_addr=0: the GCC 12 runtime
# misreads the dynamic TLS of a dlopen()ed module (the worker pool's
# thread_local) under glibc >= 2.25, and its leak tracer then crashes with
# "Tracer caught signal 11". Python-object leaks are test_leaks.py's business.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

python=$(python3 -c 'import sys; print(sys.executable)')  # the binary, not a shim
jobs=$(nproc)
site="$root/build/asan-site"
logs="$root/build/asan-logs"
asan_runtime=$(g++ -print-file-name=libasan.so)
[ -e "$asan_runtime" ] || { echo "libasan.so not found for g++" >&2; exit 1; }

echo "== sanitized build (address,undefined) into $site"
rm -rf "$site"
# -fno-var-tracking: GCC's tracking of variable locations for the debugger
# takes over two minutes on each lane file under UBSan, and the reports need
# only the line tables, which it leaves as they are (as it leaves the code).
"$python" -m pip install -q --no-deps -t "$site" . \
  --config-settings=cmake.define.ZORV_SANITIZE=address,undefined \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS=-fno-var-tracking \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=build-dir=build/asan

# Tests that cap the address space with RLIMIT_AS: the sanitizer's shadow
# memory is terabytes of reserved address space, and its own mmap fails under
# any cap near the process's size (a CHECK failure, not a test result).
#
# And tests that exercise Python around the module rather than the module:
# the manual's code blocks (a site build, Dask and Ray clusters, whole
# searches through the command line; 15 minutes of the suite's 25 here, the
# Ray recipe past its time limit) and the Dask cluster failures' bookkeeping.
# The module entries they reach are the ones the rest of the suite calls.
deselect=(
  --deselect tests/test_sim_batch.py::test_panic_exception_when_the_pool_cannot_be_built
  --deselect tests/test_sim_batch.py::test_running_out_of_memory_for_the_plan_list_raises_memory_error
  --deselect tests/test_sim_batch.py::test_a_list_of_non_plans_fails_alike_at_any_length
  --deselect tests/test_optimizer_threads.py::test_where_the_pool_cannot_start_the_search_runs_on_its_own_thread
  --ignore "$root/tests/test_docs.py"
  --deselect tests/test_distributed.py::TestClusterFails
)

# ASan reports go to files, so that one from a subprocess whose exit status
# a test does not look at still fails the stage. UBSan reports stop the
# process; they go to standard error whatever log_path says, since GCC's
# separate UBSan runtime does not set up its report file when ASan is loaded.
run_sanitized() {  # ASAN_OPTIONS as $1, then the command
  local asan_options=$1
  shift
  env PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD="$asan_runtime" \
    ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" "$@"
}

fail_on_reports() {  # $1: what ran
  if compgen -G "$logs/*" >/dev/null; then
    echo "sanitizer reports from $1:" >&2
    cat "$logs"/* >&2
    exit 1
  fi
}

full_options="detect_leaks=0:log_path=$logs/asan"

echo "== the harness reports what it should"
rm -rf "$logs" build/asan-canary && mkdir -p "$logs" build/asan-canary
cat > build/asan-canary/canary.cpp <<'CANARY'
#include <climits>
#include <cstdlib>
extern "C" int overflow_heap(int i) {
    int* block = static_cast<int*>(std::malloc(4 * sizeof(int)));
    block[i] = 1;  // out of bounds for i >= 4
    int value = block[0];
    std::free(block);
    return value;
}
extern "C" int overflow_int(int i) { return INT_MAX - 1 + i; }  // undefined for i >= 2
CANARY
g++ -shared -fPIC -g -fsanitize=address,undefined -o build/asan-canary/libcanary.so \
  build/asan-canary/canary.cpp
for call in overflow_heap overflow_int; do
  if run_sanitized "$full_options" "$python" -c \
      "import ctypes; ctypes.CDLL('$root/build/asan-canary/libcanary.so').$call(4)" \
      2>build/asan-canary/$call.stderr; then
    echo "a sanitizer report did not fail the process ($call)" >&2
    exit 1
  fi
done
grep -q "heap-buffer-overflow" "$logs"/asan.* \
  || { echo "AddressSanitizer wrote no report for the canary" >&2; exit 1; }
grep -q "runtime error: signed integer overflow" build/asan-canary/overflow_int.stderr \
  || { echo "UndefinedBehaviorSanitizer wrote no report for the canary" >&2; exit 1; }
rm -rf "$logs" && mkdir -p "$logs"

echo "== the tests see the sanitized modules"
run_sanitized "$full_options" "$python" - "$site" <<'CHECK'
import os, sys
import zorv_fast, zorv._trace
site = sys.argv[1]
for module in (zorv_fast, zorv._trace):
    assert module.__file__.startswith(site + os.sep), module.__file__
maps = open("/proc/self/maps").read()
assert "libasan" in maps and "libubsan" in maps, "sanitizer runtimes not loaded"
print("zorv_fast from", zorv_fast.__file__)
CHECK
fail_on_reports "the import check"

echo "== the whole Python suite under AddressSanitizer and UndefinedBehaviorSanitizer"
# From outside the checkout, so that only the sanitized install is imported.
# On every core: each pytest-xdist worker is a process of its own, and each
# process writes its reports to its own file (log_path gets the process id).
# Work stealing keeps both busy to the end, past the long searches.
(cd /tmp && run_sanitized "$full_options" "$python" -m pytest "$root/tests" -q \
  -p no:cacheprovider --rootdir "$root" -n "$jobs" --dist worksteal "${deselect[@]}") 2>&1 | tee "$root/build/asan-pytest.log"
fail_on_reports "the test suite"
if grep -E "runtime error:|ERROR: (Address|Leak)Sanitizer" "$root/build/asan-pytest.log"; then
  echo "sanitizer reports in the test output" >&2
  exit 1
fi

echo "== leak, argument and reentrancy tests with LeakSanitizer"
# Only tests that start no interpreter of their own. The interpreter's own
# leaks end it with status 23 here, so the tests' verdict is read from the
# JUnit report rather than from the exit status. The xdist workers run the
# tests, and each checks its own leaks as it exits.
leak_logs="$root/build/lsan-logs"
rm -rf "$leak_logs" && mkdir -p "$leak_logs"
status=0
(cd /tmp && run_sanitized \
  "detect_leaks=1:intercept_tls_get_addr=0:exitcode=23:log_path=$leak_logs/lsan" \
  "$python" -m pytest "$root/tests/test_leaks.py" "$root/tests/test_sim_arguments.py" \
  "$root/tests/test_reentrancy.py" -q -p no:cacheprovider --rootdir "$root" \
  -n "$jobs" --dist worksteal --junitxml="$leak_logs/results.xml") || status=$?
[ "$status" = 0 ] || [ "$status" = 23 ] || { echo "the leak pass failed ($status)" >&2; exit 1; }
fail_on_reports "the leak pass"
"$python" - "$leak_logs" "$jobs" <<'LEAKS'
import os, re, sys
import xml.etree.ElementTree as ET

folder = sys.argv[1]
suite = ET.parse(os.path.join(folder, "results.xml")).getroot()
suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
counts = {k: int(suite.get(k)) for k in ("tests", "failures", "errors", "skipped")}
print("leak pass tests:", counts)
failed = counts["tests"] == 0 or counts["failures"] or counts["errors"]

# Frames of the module: its shared objects, its namespace, its sources.
ours = re.compile(r"zorv_fast\.cpython|zorv/_trace\.cpython|libzorv_core[^/\s]*\.so|\bzorv::"
                  r"|[/ ]src/(?:lib\.cpp|trace_module\.cpp|call_boundary\.|argument_binding\.|plan_reader\."
                  r"|py_ref\.hpp|batch/|sim/|support/)")
logs = [name for name in sorted(os.listdir(folder)) if name.startswith("lsan.")]
# The interpreter always leaves records at exit, so every process, the
# controller and each worker, writes a report: fewer means a leak check that
# did not run.
if len(logs) < int(sys.argv[2]) + 1:
    print(f"LeakSanitizer reports from {len(logs)} processes, expected one from pytest "
          f"and one from each of its {sys.argv[2]} workers", file=sys.stderr)
    failed = True
records = 0
for name in logs:
    text = open(os.path.join(folder, name)).read()
    if "ERROR: AddressSanitizer" in text or "has encountered a fatal error" in text:
        print(text, file=sys.stderr)
        failed = True
    for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
        if block.startswith(("Direct leak of ", "Indirect leak of ")):
            records += 1
            if ours.search(block):
                print(block.split("\n\n")[0], file=sys.stderr)
                failed = True
print(f"LeakSanitizer: {len(logs)} report(s), {records} leak record(s) at exit, "
      f"{'some' if failed else 'none'} from zorv_fast or failing the pass")
sys.exit(1 if failed else 0)
LEAKS
echo "sanitized stage passed"
