"""Printing and compiling are inverses: every compiled policy printed and
compiled again is the same policy record for record, and the printed text
is already in canonical layout."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings

from korvanthel_tools import _native
from lang_support import EXAMPLES, canonical, repository_policies, to_json
from policy_strategies import policies

REPOSITORY = repository_policies()


def test_repository_has_policies_to_round_trip() -> None:
    names = {name for name, _ in REPOSITORY}
    assert "examples/guard_policy.json" in names
    assert len(REPOSITORY) >= 20


@pytest.mark.parametrize("name,data", REPOSITORY, ids=[name for name, _ in REPOSITORY])
def test_repository_policy_survives_print_then_compile(name: str, data: bytes) -> None:
    source = _native.print_policy(data)
    assert _native.compile_policy_json(source, name) == canonical(data)
    assert _native.format_source(source, name) == source


@settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(policies)
def test_random_policy_survives_print_then_compile(policy: object) -> None:
    text = to_json(policy)
    expected = canonical(text)
    source = _native.print_policy(text)
    try:
        compiled = _native.compile_policy_json(source)
    except _native.CompileError as exc:
        pytest.fail(f"printed source does not compile:\n{exc}\n--- source:\n{source}")
    assert compiled == expected, source


@pytest.mark.parametrize("path", sorted(EXAMPLES.glob("*.zelvo")), ids=lambda p: p.name)
def test_example_source_is_canonical(path: object) -> None:
    source = path.read_text(encoding="utf-8")  # type: ignore[attr-defined]
    assert _native.format_source(source, str(path)) == source


def test_canonical_json_reads_back_identically() -> None:
    guard = (EXAMPLES / "guard_policy.json").read_bytes()
    compact = canonical(guard)
    indented = _native.canonical_policy_json(guard, indent=True)
    assert canonical(compact) == compact
    assert canonical(indented) == compact
    assert "\n" not in compact and indented.count("\n") > 100
