"""The example policy in source: it compiles to exactly the example JSON,
and the checked-in container is what it compiles to."""

from __future__ import annotations

from korvanthel_tools import _native
from lang_support import EXAMPLES, canonical

SOURCE = EXAMPLES / "guard_policy.zelvo"


def test_source_compiles_to_the_example_json() -> None:
    compiled = _native.compile_policy_json(SOURCE.read_bytes(), str(SOURCE))
    assert compiled == canonical((EXAMPLES / "guard_policy.json").read_bytes())


def test_checked_in_container_is_what_the_source_compiles_to() -> None:
    container = (EXAMPLES / "guard_policy.zelvoc").read_bytes()
    assert container == _native.compile_policy(SOURCE.read_bytes(), str(SOURCE)), (
        "rebuild it: korvanthel compile examples/guard_policy.zelvo -o examples/guard_policy.zelvoc"
    )
