#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests through CTest, then the Python
# tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=ON ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"

PY=${PYTHON:-python3}
"$PY" -m pip install -q .
# pytest exits 5 when it collects no test; that is not a failure here.
status=0
"$PY" -m pytest -q || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then exit "$status"; fi
