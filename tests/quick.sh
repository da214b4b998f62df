#!/usr/bin/env bash
# The everyday test run: installs what the tests need, builds and runs the C++
# unit tests, then runs the Python suite (all but the tests marked slow)
# against the installed module, each on every core. `nox` runs the rest: the
# ThreadSanitizer and AddressSanitizer builds, the slow tests and every
# Python version (see noxfile.py).
#
# GoogleTest comes from Debian's libgtest-dev. Without it, and without a way
# to install it (root, or sudo that asks no password), the C++ tests are
# skipped with a message and the Python tests still run (under CI, set by
# the CI run, that fails the run instead).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
# Each stage's time, printed at the end, also when a stage fails.
timings=()
stage=""
begin_stage() {
  [ -z "$stage" ] || timings+=("$stage $((SECONDS - stage_start)) s")
  stage=$1
  stage_start=$SECONDS
}
trap 'begin_stage ""; echo "== times: $(printf "%s; " "${timings[@]}")"' EXIT
begin_stage GoogleTest

install_googletest() {
  local as_root=()
  if [ "$(id -u)" != 0 ]; then
    sudo -n true 2>/dev/null || return 1
    as_root=(sudo -n)
  fi
  "${as_root[@]}" apt-get update -qq \
    && DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq libgtest-dev >/dev/null
}

cpp_tests=true
if [ ! -f /usr/include/gtest/gtest.h ] && ! install_googletest; then
  echo "GoogleTest is missing and could not be installed: the C++ unit tests are skipped" \
    "(install it with: sudo apt-get install libgtest-dev)" >&2
  # A CI run must not pass without them.
  [ -z "${CI:-}" ] || exit 1
  cpp_tests=false
fi

begin_stage install
echo "== install zorv_fast and the test requirements"
python3 -m pip install -q ".[test]"

if $cpp_tests; then
  begin_stage "C++ tests"
  echo "== C++ unit tests"
  cmake -S . -B build/cpp -DZORV_BUILD_MODULE=OFF -DZORV_BUILD_TESTS=ON >/dev/null
  cmake --build build/cpp -j"$jobs"
  ctest --test-dir build/cpp -j"$jobs" --output-on-failure
fi

begin_stage "Python tests"
echo "== Python tests (not slow)"
# From outside the checkout, so that only the installed module is imported.
cd /tmp
python3 -m pytest "$root/tests" -q -p no:cacheprovider --rootdir "$root" -n "$jobs" \
  --dist worksteal -m "not slow"
if ! $cpp_tests; then
  echo "the C++ unit tests were skipped: GoogleTest is not installed" >&2
fi
