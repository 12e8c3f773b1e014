#!/usr/bin/env bash
# Installs what building and testing need, when it is missing: Debian
# packages through apt-get (as root), Python packages through pip.
set -euo pipefail

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need_apt+=(libbenchmark-dev)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v g++ >/dev/null || need_apt+=(g++)
for extra in "$@"; do
  dpkg -s "$extra" >/dev/null 2>&1 || need_apt+=("$extra")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages (run as root to install): ${need_apt[*]}" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
"$PY" - <<'PYEOF' || "$PY" -m pip install -q pytest hypothesis scikit-build-core
import importlib.util, sys
sys.exit(0 if all(importlib.util.find_spec(m) for m in ("pytest", "hypothesis", "scikit_build_core")) else 1)
PYEOF
