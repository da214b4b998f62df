#!/usr/bin/env bash
# The functional test suite (everything but the tests marked slow) on each
# CPython from 3.9 to 3.13 that pyenv has, each in its own virtual
# environment: the default python3 and 3.9 from their repaired manylinux
# wheels, installed without a compiler, the others built from the source
# tree. The sessions are noxfile.py's, tagged `pythons`; arguments go to nox.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m nox --version >/dev/null 2>&1 || python3 -m pip install -q nox
exec python3 -m nox -t pythons "$@"
