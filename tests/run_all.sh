#!/usr/bin/env bash
# Installs what the tests need and runs the whole suite: the C++ unit tests,
# the worker pool's tests again under ThreadSanitizer, and the Python tests
# against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi
python3 -m pip install -q ".[test]"

cmake -S . -B build/cpp -DZORV_BUILD_MODULE=OFF -DZORV_BUILD_TESTS=ON >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure

cmake -S . -B build/tsan -DZORV_BUILD_MODULE=OFF -DZORV_BUILD_TESTS=ON \
  -DZORV_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j2 --target test_worker_pool test_batch_evaluator
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan -R 'WorkerPool|PoolOnce|EvaluateBatch|PlanCursor' --output-on-failure

# From outside the checkout, so that only the installed module is imported.
cd /tmp
python3 -m pytest "$root/tests" -q -p no:cacheprovider

# The functional tests on every Python that pyenv has (the default one and 3.9
# from their repaired wheels, installed without a compiler), then the whole
# suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
bash "$root/tests/run_all_pythons.sh"
bash "$root/tests/run_sanitized.sh"
