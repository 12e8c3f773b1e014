"""The TextMate grammar of editors/: every regex compiles, every keyword
and operator of the language has a scope, and the example sources are
tokenised as expected by a small TextMate-style matcher (earliest match
wins, ties go to the first pattern; begin/end rules with their inner
patterns)."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

GRAMMAR: dict[str, Any] = json.loads((ROOT / "editors" / "zelvo.tmLanguage.json").read_text())
EBNF = (ROOT / "docs" / "grammar.ebnf").read_text()


def ebnf_keywords() -> list[str]:
    block = EBNF[EBNF.index("keyword   =") :]
    block = block[: block.index(";")]
    return re.findall(r'"([a-z_]+)"', block)


def ebnf_operators() -> set[str]:
    found = set(re.findall(r'"([^"\sA-Za-z0-9_]+)"', EBNF))
    return found - {"\\", "`", "\\`", "_"}


def resolve(patterns: list[dict[str, Any]]) -> list[dict[str, Any]]:
    out: list[dict[str, Any]] = []
    for p in patterns:
        if "include" in p:
            target = GRAMMAR["repository"][p["include"].lstrip("#")]
            out.extend(resolve(target["patterns"]) if "patterns" in target and "begin" not in target else [target])
        else:
            out.append(p)
    return out


@dataclass
class Token:
    start: int
    end: int
    scope: str


def tokenize(text: str, patterns: list[dict[str, Any]] | None = None, pos: int = 0, end_re: str | None = None) -> tuple[list[Token], int]:
    """Scopes of the text from pos, until end_re matches (returns the
    position after it) or the text ends."""
    rules = resolve(patterns if patterns is not None else GRAMMAR["patterns"])
    tokens: list[Token] = []
    while pos < len(text):
        best: tuple[int, int, dict[str, Any] | None, re.Match[str]] | None = None
        if end_re is not None:
            m = re.compile(end_re, re.MULTILINE).search(text, pos)
            if m:
                best = (m.start(), -1, None, m)
        for order, rule in enumerate(rules):
            m = re.compile(rule.get("match") or rule["begin"], re.MULTILINE).search(text, pos)
            if m and (best is None or m.start() < best[0]):
                best = (m.start(), order, rule, m)
        if best is None:
            break
        _, _, chosen, m = best
        if chosen is None:
            return tokens, m.end()
        if "match" in chosen:
            tokens.append(Token(m.start(), m.end(), chosen["name"]))
            pos = max(m.end(), pos + 1)
        else:
            inner, after = tokenize(text, chosen.get("patterns", []), m.end(), chosen["end"])
            tokens.append(Token(m.start(), after, chosen["name"]))
            tokens.extend(inner)
            pos = after
    return tokens, len(text)


def all_regexes(node: Any) -> list[str]:
    found: list[str] = []
    if isinstance(node, dict):
        for key, value in node.items():
            if key in ("match", "begin", "end"):
                found.append(value)
            else:
                found.extend(all_regexes(value))
    elif isinstance(node, list):
        for item in node:
            found.extend(all_regexes(item))
    return found


@pytest.mark.parametrize("regex", all_regexes(GRAMMAR))
def test_regex_compiles(regex: str) -> None:
    re.compile(regex)


def scope_at(text: str, needle: str) -> str:
    """The innermost scope at the first occurrence of needle outside a line
    comment (unless needle starts one)."""
    pattern = re.escape(needle) + (r"\b" if needle[-1].isalnum() else "")
    at = next(
        m.start() for m in re.finditer(pattern, text)
        if needle.startswith("//") or "//" not in text[text.rfind("\n", 0, m.start()) + 1 : m.start()]
    )
    tokens, _ = tokenize(text)
    covering = [t for t in tokens if t.start <= at < t.end]
    return covering[-1].scope if covering else ""


@pytest.mark.parametrize("keyword", ebnf_keywords())
def test_every_keyword_has_a_keyword_scope(keyword: str) -> None:
    text = f"x {keyword}(1) y"
    scope = scope_at(text, keyword)
    assert scope and not scope.startswith("variable.other."), (keyword, scope)


@pytest.mark.parametrize("operator", sorted(ebnf_operators()))
def test_every_operator_has_a_scope(operator: str) -> None:
    scope = scope_at(f"a {operator} b", operator)
    expected = "comment" if operator in ("//", "/*") else ("keyword.operator", "punctuation")
    assert scope.startswith(expected), (operator, scope)


EXPECTED = [
    ("// The example agent guard", "comment.line.double-slash.zelvo"),
    ("policy", "storage.type.declaration.zelvo"),
    ('"agent-guard"', "string.quoted.double.zelvo"),
    ("when", "keyword.control.zelvo"),
    ("event", "variable.language.root.zelvo"),
    ("contains", "entity.name.function.method.zelvo"),
    ("1h", "constant.numeric.duration.zelvo"),
    ("and", "keyword.operator.word.zelvo"),
    ("deny", "keyword.other.verdict.zelvo"),
    ("notify", "support.function.action.zelvo"),
    ("==", "keyword.operator.comparison.zelvo"),
    ("after", "storage.type.declaration.zelvo"),
    ("10", "constant.numeric.integer.zelvo"),
]


@pytest.mark.parametrize("needle,scope", EXPECTED, ids=[n for n, _ in EXPECTED])
def test_example_is_highlighted(needle: str, scope: str) -> None:
    text = (EXAMPLES / "guard_policy.zelvo").read_text()
    assert scope_at(text, needle) == scope


@pytest.mark.parametrize(
    "text,needle,scope",
    [
        ('re"^a\\d"', "^a", "string.regexp.zelvo"),
        ('pattern"/tmp/.*"', "/tmp", "string.regexp.zelvo"),
        ('verbatim"a|b"', "a|b", "string.regexp.zelvo"),
        ("transition a -> b", "->", "keyword.operator.arrow.zelvo"),
        ('"a\\u{1F600}b"', "\\u", "constant.character.escape.zelvo"),
        ("event.match", "match", "variable.other.member.zelvo"),
        ("1.5e-3", "1.5e-3", "constant.numeric.float.zelvo"),
        ("/* a\n rule */ x", "rule", "comment.block.zelvo"),
        ("x.`odd name`(1)", "odd", "entity.name.function.raw.zelvo"),
    ],
)
def test_constructs(text: str, needle: str, scope: str) -> None:
    assert scope_at(text, needle) == scope


def test_vscode_package_points_at_the_grammar() -> None:
    package = json.loads((ROOT / "editors" / "package.json").read_text())
    grammar = package["contributes"]["grammars"][0]
    assert grammar["scopeName"] == GRAMMAR["scopeName"]
    assert (ROOT / "editors" / grammar["path"]).exists()
    assert (ROOT / "editors" / package["contributes"]["languages"][0]["configuration"]).exists()
