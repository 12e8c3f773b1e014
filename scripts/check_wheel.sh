#!/usr/bin/env bash
# Builds the wheel, installs it into a fresh virtual environment and runs the
# examples and the korvanthel command from there, so that a missing file in
# the wheel, a missing dependency or a broken entry point shows up here and
# not on a user's machine. Set BUILD_DIR to build outside build/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

build_args=()
if [ -n "${BUILD_DIR:-}" ]; then
  build_args+=(-C "build-dir=$BUILD_DIR")
fi

echo "== build the wheel"
"$PY" -m pip wheel -q --no-deps "${build_args[@]}" . -w "$WORK/dist"
wheel=$(ls "$WORK"/dist/korvanthel-*.whl)
echo "$(basename "$wheel")"

echo "== install it into a fresh venv"
"$PY" -m venv "$WORK/venv"
VPY=$WORK/venv/bin/python
"$VPY" -m pip install -q "$wheel"

cd "$WORK"  # away from the source tree: only the installed files are importable
"$VPY" - <<'PYEOF'
import importlib.metadata as md
import pathlib
import sys

import _korvanthel_core
import korvanthel_tools

files = {str(f) for f in md.files("korvanthel") or []}
expected = {
    "_korvanthel_core-stubs/__init__.pyi",
    "korvanthel_tools/py.typed",
    "korvanthel_tools/commands/cli.py",
    "korvanthel_tools/replay/dask_replay.py",
}
missing = expected - files
if missing:
    sys.exit(f"missing from the wheel: {sorted(missing)}")
if not any(f.startswith("_korvanthel_core.") and f.endswith(".so") for f in files):
    sys.exit("the extension module is missing from the wheel")
if not any(f.startswith("korvanthel_tools/_native.") and f.endswith(".so") for f in files):
    sys.exit("the tools' extension module korvanthel_tools._native is missing from the wheel")
if "korvanthel_tools/_native.pyi" not in files:
    sys.exit("the stub of korvanthel_tools._native is missing from the wheel")
site = pathlib.Path(_korvanthel_core.__file__).parent
assert pathlib.Path(korvanthel_tools.__file__).parent.parent == site, "tools installed elsewhere"
entry = [e for e in md.entry_points(group="console_scripts") if e.name == "korvanthel"]
assert entry and entry[0].value == "korvanthel_tools.commands.cli:main", entry
print(f"wheel contents OK: module {_korvanthel_core.__version__}, stubs, tools, entry point")
PYEOF

echo "== examples from the venv"
"$VPY" "$ROOT/examples/guard_demo.py"
"$VPY" "$ROOT/examples/guarded_tools.py"

echo "== korvanthel command from the venv"
"$WORK/venv/bin/korvanthel" --help
"$WORK/venv/bin/korvanthel" replay --help >/dev/null
# The integrations' event schemas are package data: each must be in the wheel.
"$VPY" -c "from korvanthel_tools.guarding.event_schemas import INTEGRATIONS, schema_text; [schema_text(n) for n in INTEGRATIONS]"
if [ -f "$ROOT/examples/guard_policy.json" ]; then
  "$WORK/venv/bin/korvanthel" pack "$ROOT/examples/guard_policy.json" -o "$WORK/guard.zelvoc"
  "$WORK/venv/bin/korvanthel" inspect "$WORK/guard.zelvoc"
fi
if [ -f "$ROOT/examples/guard_policy.zelvo" ]; then
  "$WORK/venv/bin/korvanthel" compile "$ROOT/examples/guard_policy.zelvo" -o "$WORK/compiled.zelvoc"
  "$VPY" "$ROOT/examples/guard_demo.py" "$WORK/compiled.zelvoc" >/dev/null
  "$WORK/venv/bin/korvanthel" decompile "$WORK/compiled.zelvoc" >/dev/null
fi
echo "wheel OK"
