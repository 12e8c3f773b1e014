"""Pattern literals say what they match: every pattern the guide shows
matches what its prose says, a pattern a regular-expression reader would
misread is an error naming the engine's rule and the plain test that says
the same, and the escapes, the deprecated spelling and the checker's
warning behave as documented."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from _korvanthel_core import PolicyEngine
from korvanthel_tools import _native

HEADER = 'policy "p" severity high\n'


def matcher(pattern: str) -> PolicyEngine:
    source = HEADER + f"rule 1 on t {{\n  when event.s.matches({pattern})\n  deny\n}}\n"
    return PolicyEngine.from_json(_native.compile_policy_json(source, "p.zelvo"))


def matches(engine: PolicyEngine, subject: str) -> bool:
    return engine.evaluate("t", {"s": subject})["verdict"] == "deny"


# The guide's table (docs/language.md, "Patterns"), and its equivalents.
GUIDE = [
    ('pattern"^/etc/passwd$"', {"/etc/passwd": True, "/etc/passwd2": False, "x/etc/passwd": False}),
    ('pattern"/tmp/.*"', {"/tmp/x": True, "/tmp/": True, "x/tmp/y": False}),
    ('pattern".*/passwd"', {"/etc/passwd": True, "/etc/passwd.bak": False}),
    ('pattern"rm -rf"', {"sudo rm -rf /": True, "rm -r": False}),
    ('pattern"^$"', {"": True, "a": False}),
    ('pattern".*"', {"": True, "anything": True}),
    ('verbatim"a|b"', {"xa|by": True, "a": False, "b": False}),
    ('verbatim"^/tmp/.*"', {"^/tmp/x": True, "/tmp/x": False}),
    ('pattern"say \\"hi\\""', {'they say "hi"': True, "say hi": False}),
    ('pattern"\\u{41}\\tB"', {"xA\tBy": True, "AB": False}),
]


@pytest.mark.parametrize("pattern,cases", GUIDE, ids=[p for p, _ in GUIDE])
def test_patterns_match_what_the_guide_says(pattern: str, cases: dict[str, bool]) -> None:
    engine = matcher(pattern)
    assert {s: matches(engine, s) for s in cases} == cases


MISREAD = [
    # text, what misleads, rule, the plain replacement
    ("^/tmp/.*", '"^" anchors only together with a final "$"', "prefix", 'text beginning with "^/tmp/"',
     '.starts_with("^/tmp/")'),
    (".*.txt", '"." is not a wildcard here', "suffix", 'text ending with ".txt"', '.ends_with(".txt")'),
    (".*a.*", '"." is not a wildcard here', "prefix", 'text beginning with ".*a"', '.starts_with(".*a")'),
    ("(curl|wget)[^|]*", '"(" is an ordinary character here', "substring", 'text containing "(curl|wget)[^|]*"',
     '.contains("(curl|wget)[^|]*")'),
    ("^a.b$", '"." is not a wildcard here', "exact", 'text equal to "a.b"', '== "a.b"'),
    ("a$", '"$" anchors only together with a leading "^"', "substring", 'text containing "a$"', '.contains("a$")'),
    ("a\\\\s", "a backslash is an ordinary character here", "substring", 'text containing "a\\\\s"',
     '.contains("a\\\\s")'),
    ("x+", '"+" is an ordinary character here', "substring", 'text containing "x+"', '.contains("x+")'),
]


@pytest.mark.parametrize("spelling", ["pattern", "re"])
@pytest.mark.parametrize("text,reason,rule,effect,replacement", MISREAD, ids=[m[0] for m in MISREAD])
def test_misread_patterns_are_errors_naming_the_rule(spelling: str, text: str, reason: str, rule: str, effect: str,
                                                      replacement: str) -> None:
    source = HEADER + f'rule 1 {{ when event.s.matches({spelling}"{text}") }}\n'
    with pytest.raises(_native.CompileError) as caught:
        _native.compile_policy(source, "p.zelvo")
    (d,) = caught.value.diagnostics
    shown = f'"{text}"'
    assert (d.code, d.line, d.column) == ("misread-pattern", 2, 31)
    assert d.message == (f"pattern {shown} is not a regular expression: {reason}; "
                         f"the engine applies its {rule} rule and matches {effect}")
    assert d.hint == f"write {replacement} for what the engine does, or verbatim{shown} to keep the pattern as it is"
    # The replacement and the verbatim spelling both compile, and decide alike.
    subject = "event.s" + replacement if replacement.startswith(".") else "event.s " + replacement
    plain = PolicyEngine.from_json(_native.compile_policy_json(
        HEADER + f"rule 1 on t {{\n  when {subject}\n  deny\n}}\n", "p.zelvo"))
    kept = matcher(f'verbatim"{text}"')
    for probe in ["", "a", "^/tmp/x", ".txt", "a.txt", ".*ab", "(curl|wget)[^|]*", "a.b", "a$", "a\\s", "x+"]:
        assert matches(plain, probe) == matches(kept, probe), probe


def test_pattern_escapes_and_their_errors() -> None:
    with pytest.raises(_native.CompileError) as caught:
        _native.compile_policy(HEADER + 'rule 1 { when event.s.matches(pattern"a\\q") }\n', "p.zelvo")
    assert [d.code for d in caught.value.diagnostics] == ["invalid-escape"]


def test_old_spelling_warns_and_non_literal_patterns_are_flagged() -> None:
    source = HEADER + 'rule 1 {\n  when event.s.matches(re"/tmp/.*") or event.s.matches(event.p)\n  deny\n}\n'
    assert _native.canonical_policy_json(_native.compile_policy(source, "p.zelvo"))
    found = [(d.code, d.level, d.line, d.column, d.hint) for d in _native.check_policy(source, "p.zelvo", None)]
    assert found == [
        ("deprecated-regex-literal", "warning", 3, 24, 'write pattern"/tmp/.*"'),
        ("computed-pattern", "warning", 3, 56, 'write the pattern as a literal, pattern"...", so that the compiler can check it'),
    ]


@pytest.mark.parametrize("text", ["/tmp/.*", "^/tmp/.*", "a|b", "", "a\\b", 'q"', ".*.*"])
def test_printed_patterns_compile_back(text: str) -> None:
    policy = {"name": "p", "severity": "High", "scopes": [], "constraints": [], "state_machines": [],
              "rules": [{"id": 1, "on_events": [], "verdicts": [], "actions": [], "condition": {"Predicate": {
                  "kind": "Matches", "subject": {"Ref": {"root": "Event", "fields": ["s"]}},
                  "argument": {"Literal": {"Regex": text}}}}}],
              "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "x"}}
    original = _native.canonical_policy_json(json.dumps(policy))
    printed = _native.print_policy(original)
    assert ("verbatim" in printed) == (text not in ("/tmp/.*", "", 'q"'))
    assert _native.compile_policy_json(printed, "p.zelvo") == original


def test_compile_shows_the_deprecation_warning(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    from korvanthel_tools.commands.cli import main

    src = tmp_path / "p.zelvo"
    src.write_text(HEADER + 'rule 1 { when event.s.matches(re"/tmp/.*") deny }\n')
    assert main(["compile", str(src), "-o", str(tmp_path / "p.zelvoc")]) == 0
    err = capsys.readouterr().err
    assert f"{src}:2:31: warning: re\"...\" is the old spelling of a pattern literal" in err
