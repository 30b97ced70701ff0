#!/usr/bin/env bash
# Runs vedov's demonstration on a fresh machine: installs what is missing, builds and installs the
# module, then runs the example study.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh examples
PIP_ROOT_USER_ACTION=ignore python3 -m pip install -q .
python3 examples/demo.py "$@"
