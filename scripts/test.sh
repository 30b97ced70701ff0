#!/usr/bin/env bash
# Runs every test of vedov on a fresh machine: installs what is missing, builds and runs the C++
# tests, installs the module and runs the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test
jobs=$(nproc)

cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DVEDOV_BUILD_MODULE=OFF -DVEDOV_BUILD_TESTS=ON
cmake --build build/tests -j"$jobs"
ctest --test-dir build/tests --output-on-failure -j"$jobs"

PIP_ROOT_USER_ACTION=ignore python3 -m pip install -q .
python3 -m pytest -q tests/python
