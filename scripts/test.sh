#!/usr/bin/env bash
# Runs every test of vedov on a fresh machine: installs what is missing, builds and runs the C++
# tests, installs the module, runs the Python tests and type-checks the examples against its stubs.
set -euo pipefail
cd "$(dirname "$0")/.."

# The examples' packages too: the demo's test runs it, and mypy checks it.
bash scripts/setup.sh test examples
jobs=$(nproc)

cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DVEDOV_BUILD_MODULE=OFF -DVEDOV_BUILD_TESTS=ON
cmake --build build/tests -j"$jobs"
ctest --test-dir build/tests --output-on-failure -j"$jobs"

PIP_ROOT_USER_ACTION=ignore python3 -m pip install -q .
python3 -m pytest -q tests/python
python3 -m mypy --strict examples/
