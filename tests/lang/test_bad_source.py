"""No source text crashes the compiler or the formatter: a source with one
character deleted or inserted anywhere either compiles or fails with
diagnostics that name a line and a column; hostile inputs fail the same
way, quickly and without exhausting the stack."""

from __future__ import annotations

import re
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native
from korvanthel_tools.commands.cli import main
from lang_support import EXAMPLES

SOURCE = (EXAMPLES / "guard_policy.zelvo").read_bytes()
INSERTED = b'"({[x0-.`\n\\/*'


def outcome(source: bytes) -> str:
    """"ok", or the first rendered line of the first error."""
    try:
        _native.compile_policy(source, "edit.zelvo")
        _native.format_source(source, "edit.zelvo")
        return "ok"
    except _native.CompileError as exc:
        assert exc.diagnostics, "a CompileError without diagnostics"
        first = exc.diagnostics[0]
        assert first.level == "error" and first.file == "edit.zelvo"
        assert first.line >= 1 and first.column >= 1
        assert str(exc).startswith(f"edit.zelvo:{first.line}:{first.column}: error: ")
        return "error"


def test_every_single_deletion() -> None:
    results = [outcome(SOURCE[:i] + SOURCE[i + 1 :]) for i in range(len(SOURCE))]
    assert "error" in results and "ok" in results


@pytest.mark.parametrize("char", [bytes([c]) for c in INSERTED], ids=lambda b: repr(b))
def test_every_single_insertion(char: bytes) -> None:
    for i in range(len(SOURCE) + 1):
        outcome(SOURCE[:i] + char + SOURCE[i:])


@settings(max_examples=200, deadline=None)
@given(st.integers(0, len(SOURCE)), st.integers(0, 255), st.booleans())
def test_edits_through_the_command_line(tmp_path_factory: pytest.TempPathFactory, at: int, byte: int, delete: bool) -> None:
    edited = SOURCE[:at] + SOURCE[at + 1 :] if delete else SOURCE[:at] + bytes([byte]) + SOURCE[at:]
    src = tmp_path_factory.mktemp("edit") / "edit.zelvo"
    src.write_bytes(edited)
    assert main(["compile", str(src), "-o", str(src.with_suffix(".zelvoc"))]) in (0, 1)


HOSTILE = {
    "10 MB line": b'policy "p" severity high\nrule 1 { when event.x == "' + b"a" * 10_000_000,
    "10 MB comment line": b'policy "p" severity high // ' + b"x" * 10_000_000 + b"\nrule 1 {",
    "100,000 open parentheses": b'policy "p" severity high\nrule 1 { when ' + b"(" * 100_000,
    "100,000 nested lists": b'policy "p" severity high\nrule 1 { when ' + b"[" * 100_000 + b"]" * 100_000 + b" }",
    "100,000 nots": b'policy "p" severity high\nrule 1 { when ' + b"not " * 100_000 + b"true }",
    "100,000 negations": b'policy "p" severity high\nrule 1 { when ' + b"- " * 100_000 + b"1 }",
    "invalid UTF-8": b'policy "p" severity high\nrule 1 { deny "\xff\xfe" }\n',
    "truncated UTF-8": b'policy "p\xe2\x82" severity high\n',
    "NUL byte": b'policy "p" severity high\nrule 1 {\x00 deny }\n',
    "NUL in a string": b'policy "p\x00" severity high\n',
    "unterminated string at EOF": b'policy "p" severity high\nrule 1 { deny "never closed',
    "unterminated comment at EOF": b'policy "p" severity high\n/* never closed',
    "unterminated raw name at EOF": b'policy "p" severity high\nrule 1 { when `f',
    "empty": b"",
    "long chain of or": b'policy "p" severity high\nrule 1 { when ' + b" or ".join([b"event.a"] * 50_000) + b" }",
}

@pytest.mark.parametrize("source", list(HOSTILE.values()), ids=list(HOSTILE))
def test_hostile_source(source: bytes, tmp_path: Path, capfdbinary: pytest.CaptureFixture[bytes]) -> None:
    src = tmp_path / "hostile.zelvo"
    src.write_bytes(source)
    out = tmp_path / "out.zelvoc"
    status = main(["compile", str(src), "-o", str(out)])
    err = capfdbinary.readouterr().err
    if status == 0:  # a long chain compiles balanced: then it must load
        PolicyEngine.from_file(str(out))
        return
    assert status == 1
    assert re.search(rb"^\S*hostile\.zelvo:\d+:\d+: error: ", err, re.MULTILINE), err[:500]
    assert len(err) < 100_000, "diagnostics must not echo megabytes of the source"
