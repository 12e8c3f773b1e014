"""Shared helpers of the policy-language tests."""

from __future__ import annotations

import importlib.util
import json
from pathlib import Path

from korvanthel_tools import _native

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def canonical(policy: str | bytes) -> str:
    """The policy's canonical JSON: equal texts mean equal policies, record
    for record."""
    return _native.canonical_policy_json(policy)


def repository_policies() -> list[tuple[str, bytes]]:
    """Every compiled policy stored in the repository that loads: the
    examples, the fuzz seeds (an engine seed's policy ends at its first NUL
    byte) and the runtime's test data."""
    found: list[tuple[str, bytes]] = []
    candidates = [
        *sorted((ROOT / "examples").glob("*.json")),
        *sorted((ROOT / "examples").glob("*.zelvoc")),
        *sorted((ROOT / "fuzz" / "corpus").rglob("*")),
        *sorted((ROOT / "zelvo-runtime" / "tests" / "data").glob("*.json")),
    ]
    for path in candidates:
        if not path.is_file():
            continue
        data = path.read_bytes()
        if path.parent.name == "engine_fuzz":
            data = data.split(b"\0", 1)[0]
        try:
            canonical(data)
        except ValueError:
            continue
        found.append((str(path.relative_to(ROOT)), data))
    found.append(("examples/guarded_tools.py:DEMO_POLICY", json.dumps(_example_attribute("guarded_tools", "DEMO_POLICY")).encode()))
    return found


def _example_attribute(module: str, name: str) -> object:
    found = importlib.util.spec_from_file_location(f"example_{module}", EXAMPLES / f"{module}.py")
    assert found is not None and found.loader is not None
    loaded = importlib.util.module_from_spec(found)
    found.loader.exec_module(loaded)
    return getattr(loaded, name)


def to_json(policy: object) -> str:
    return json.dumps(policy, ensure_ascii=False)
