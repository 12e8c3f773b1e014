"""Every ``zelvo`` block of the README and of docs/ compiles (a fragment
under a policy header), and where the prose around it says what it does to
an event, it does that."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import pytest

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native
from lang_support import ROOT

DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
HEADER = 'policy "doc-example" severity high\n'


def blocks() -> list[tuple[str, int, str]]:
    found = []
    for path in DOCS:
        for number, match in enumerate(re.finditer(r"```zelvo\n(.*?)```", path.read_text(encoding="utf-8"), re.S)):
            found.append((path.relative_to(ROOT).as_posix(), number, match.group(1)))
    return found


def as_policy(block: str) -> str:
    """A block as a whole source: a fragment gets a header, an expression a rule."""
    body = re.sub(r"(?m)^\s*//.*\n", "", block).lstrip()
    if body.startswith("policy "):
        return block
    if body.startswith("match "):
        return f"{HEADER}rule 1 on tool_call {{\n  when ({block.strip()}) == \"x\"\n}}\n"
    return HEADER + block


# What the prose says a block does: (document, block number) -> [(event type, fields, verdict)].
SHELL = [("tool_call", {"tool": "shell", "arguments": {"command": "rm -rf /"}}, "deny"),
         ("tool_call", {"tool": "shell", "arguments": {"command": "ls"}}, "allow")]
OUTCOMES: dict[tuple[str, int], list[tuple[str, dict[str, Any], str]]] = {
    ("README.md", 0): SHELL,
    ("docs/events.md", 0): SHELL,
    ("docs/language.md", 0): SHELL,
    ("docs/language.md", 2): [("tool_call", {"path": "/etc/passwd"}, "deny"),
                              ("tool_call", {"path": "/srv/x"}, "allow")],
}


@pytest.mark.parametrize(("doc", "number", "block"), blocks(), ids=lambda v: str(v)[:20] if isinstance(v, str) else None)
def test_block_compiles_and_does_what_the_prose_says(doc: str, number: int, block: str) -> None:
    container = _native.compile_policy(as_policy(block), f"{doc} block {number}")
    engine = PolicyEngine.from_bytes(container)
    for event_type, fields, verdict in OUTCOMES.get((doc, number), []):
        assert engine.evaluate(event_type, fields)["verdict"] == verdict, (doc, number, fields)


def test_every_stated_outcome_names_a_block() -> None:
    assert set(OUTCOMES) <= {(doc, number) for doc, number, _ in blocks()}
