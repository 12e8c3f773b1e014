#!/usr/bin/env bash
# Installs the package, compiles the example policy from its source and
# runs the example: a small agent-guard policy evaluated against a handful
# of realistic agent events.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
"$PY" -m pip install -q .
mkdir -p build
"$PY" -m korvanthel_tools compile examples/guard_policy.zelvo -o build/guard_policy.zelvoc
"$PY" examples/guard_demo.py build/guard_policy.zelvoc
