#!/usr/bin/env bash
# Every test: the everyday run (tests/quick.sh: the C++ unit tests and the
# Python suite without the slow tests), then the full matrix of noxfile.py
# (ThreadSanitizer, the slow tests, every Python from 3.9 to 3.13, the
# AddressSanitizer and UndefinedBehaviorSanitizer suite, the docs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tests/quick.sh
python3 -m pip install -q nox
python3 -m nox
