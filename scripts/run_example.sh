#!/usr/bin/env bash
# Installs the package and runs the example: a small agent-guard policy
# evaluated against a handful of realistic agent events.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
"$PY" -m pip install -q .
"$PY" examples/guard_demo.py
