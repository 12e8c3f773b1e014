#!/usr/bin/env bash
# Static type checks. Installs mypy (and the tqdm and pandas stubs) when missing, installs
# the package (skip with KORVANTHEL_SKIP_INSTALL=1 when it was just installed),
# then runs:
#   - mypy --strict over the examples, the tools package and its tests, which
#     see the module through its installed stub package;
#   - stubtest, which compares that stub package with the built module, and
#     korvanthel_tools/_native.pyi with the tools' extension module.
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

"$PY" - <<'PYEOF' || "$PY" -m pip install -q mypy types-tqdm pandas-stubs
import importlib.metadata as md, importlib.util, sys
try:
    md.version("types-tqdm")
    md.version("pandas-stubs")
except md.PackageNotFoundError:
    sys.exit(1)
sys.exit(0 if importlib.util.find_spec("mypy") else 1)
PYEOF

if [ "${KORVANTHEL_SKIP_INSTALL:-0}" != 1 ]; then
  "$PY" -m pip install -q ".[dask]"
fi

echo "== mypy --strict (examples, korvanthel_tools, tests/tools)"
# The agent-framework adapters and their examples need the frameworks:
# scripts/test_adapters.sh checks them in its own environment.
"$PY" -m mypy --strict --no-incremental \
  --exclude '^(korvanthel_tools/adapters/|examples/guard_(openai_agents|langchain)\.py$)' \
  examples korvanthel_tools tests/tools

echo "== mypy --strict (tests/lang)"
# From inside the folder: its modules import each other by plain name.
(cd tests/lang && "$PY" -m mypy --strict --no-incremental .)

echo "== mypy --strict (tests/policy_tests)"
(cd tests/policy_tests && "$PY" -m mypy --strict --no-incremental .)

echo "== mypy --strict (tests/mcp: needs the mcp and otel extras, installed by test.sh)"
(cd tests/mcp && "$PY" -m mypy --strict --no-incremental .)

echo "== stubtest _korvanthel_core"
# Run outside the source tree so that only the installed module and the
# installed stub package are seen.
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
cd "$SCRATCH"
"$PY" -m mypy.stubtest --concise _korvanthel_core
"$PY" -m mypy.stubtest --concise korvanthel_tools._native
echo "types OK (stubs checked against $("$PY" -c 'import _korvanthel_core as m; print(m.__file__)'))"
