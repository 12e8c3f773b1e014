#!/usr/bin/env bash
# The agent-framework adapters' tests and type checks, with the frameworks
# at the versions pinned by the extras openai-agents, langchain,
# langchain-mcp and otel (pyproject.toml). They run in their own virtual environment
# (build/venv-adapters, on top of the interpreter's site-packages, where
# `pip install .` has put the package): langchain-mcp-adapters needs an mcp
# release below 2, which the interpreter's own environment may not hold.
# The environment is kept between runs; pip only adds what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
VENV=build/venv-adapters

[ -x "$VENV/bin/python" ] || "$PY" -m venv --system-site-packages "$VENV"

# The extras' requirements, read from pyproject.toml (a self-reference such
# as korvanthel[langchain] is expanded), plus the test and type-check tools.
mapfile -t requirements < <("$PY" - <<'PYEOF'
import re, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
seen, out = set(), []
def add(name):
    if name in seen:
        return
    seen.add(name)
    for req in extras[name]:
        own = re.fullmatch(r"korvanthel\[([\w,-]+)\]", req)
        if own:
            for inner in own.group(1).split(","):
                add(inner.strip())
        elif req not in out:
            out.append(req)
for name in ("test", "typecheck", "otel", "openai-agents", "langchain", "langchain-mcp"):
    add(name)
print("\n".join(out))
PYEOF
)
"$VENV/bin/python" -m pip install -q --disable-pip-version-check "${requirements[@]}"

echo "== adapter tests (pytest, frameworks from $VENV)"
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/adapters

echo "== adapter type checks (mypy --strict)"
"$VENV/bin/python" -m mypy --strict --no-incremental korvanthel_tools/adapters tests/adapters \
  examples/guard_openai_agents.py examples/guard_langchain.py
