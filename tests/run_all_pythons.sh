#!/usr/bin/env bash
# Builds zorv_fast and runs the functional test suite (everything but the
# tests marked slow: fuzzing, leak checks, soak runs) on each CPython from 3.9
# to 3.13 that pyenv has, each in its own virtual environment under
# build/venvs. A version that is not installed is skipped with a message; the
# default python3 is skipped here because tests/run_all.sh runs every test,
# slow ones included, on it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
default=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
summary=()
failed=()

for version in 3.9 3.10 3.11 3.12 3.13; do
  if [ "$version" = "$default" ]; then
    summary+=("Python $version: the default python3, run in full by tests/run_all.sh")
    continue
  fi
  # The newest release of that version, e.g. 3.12.1 (not 3.12.1t or 3.12-dev).
  interpreter=$(printf '%s\n' "$pyenv_root"/versions/"$version".*/bin/python"$version" \
    | grep -E "/versions/$version\.[0-9]+/bin/python$version\$" | sort -V | tail -n 1 || true)
  if [ -z "$interpreter" ] || [ ! -x "$interpreter" ]; then
    echo "Python $version: not installed under $pyenv_root/versions, skipped"
    summary+=("Python $version: not installed, skipped")
    continue
  fi
  release=$("$interpreter" -c 'import platform; print(platform.python_version())')
  echo "== Python $release: build, install and test in build/venvs/py$version"
  venv="$root/build/venvs/py$version"
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
  env -u PYTHONPATH "$venv/bin/python" -m pip install -q ".[test]"
  log="$root/build/venvs/py$version.log"
  # From outside the checkout, so that only the installed module is imported.
  if ! (cd /tmp && env -u PYTHONPATH "$venv/bin/python" -m pytest "$root/tests" -q \
      -p no:cacheprovider --rootdir "$root" -m "not slow") 2>&1 | tee "$log"; then
    failed+=("$release")
  fi
  summary+=("Python $release: $(tail -n 1 "$log" | sed 's/^=* *//; s/ *=*$//')")
done

echo "== every Python"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "tests failed on Python ${failed[*]}" >&2
  exit 1
fi
