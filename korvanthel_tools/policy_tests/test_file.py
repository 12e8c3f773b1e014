"""Reading ``*.test.jsonl`` files into cases.

Each non-blank line is a JSON object; a line starting with ``#`` is a
comment. A line with ``"case"`` starts a case (optionally with
``context`` and ``config`` to store first); every other line is a step of
the current case: an event (``type``, optional ``fields``, ``ts``,
``context``, ``config``, ``expect``) or only settings (``context`` and/or
``config`` without ``type``).
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import Any

VERDICTS = ("allow", "deny", "audit", "redact")
VERBS = ("log", "notify", "escalate", "block", "tag")
EXPECT_KEYS = (
    "verdict", "reason", "reason_matches", "triggered_rules", "actions", "violations", "constraint_violations",
)
STEP_KEYS = ("type", "fields", "ts", "context", "config", "expect", "comment")
CASE_KEYS = ("case", "context", "config", "comment")


class TestFileError(Exception):
    """A test file that cannot be read: `path:line: message`."""


@dataclass(frozen=True)
class Expectation:
    """What a step expects of its event's result; None means not checked.
    Verdicts and action verbs are lower case."""

    verdict: str | None = None
    reason: str | None = None
    reason_matches: re.Pattern[str] | None = None
    triggered_rules: list[int] | None = None
    actions: list[str] | None = None
    violations: list[str] | None = None
    constraint_violations: list[str] | None = None

    def is_empty(self) -> bool:
        """True when nothing is expected."""
        return all(getattr(self, key) is None for key in EXPECT_KEYS)


@dataclass
class Step:
    """One line of a case: an event (``event_type`` set) or only context and
    config values to store; ``ts`` None means the time of the step before."""

    line: int
    event_type: str | None
    fields: dict[str, Any] | None = None
    ts: int | None = None
    context: dict[str, Any] | None = None
    config: dict[str, Any] | None = None
    expect: Expectation = field(default_factory=Expectation)


@dataclass
class Case:
    """A named case: its steps in file order, run on a fresh engine."""

    name: str
    path: str
    line: int
    steps: list[Step] = field(default_factory=list)

    def native_steps(self) -> list[dict[str, Any]]:
        """The steps as ``_native.explain_events`` takes them; an event
        without ``ts`` happens at the time of the one before it (0 first)."""
        out = []
        now = 0
        for step in self.steps:
            if step.ts is not None:
                now = step.ts
            out.append({"type": step.event_type, "fields": step.fields, "ts": now,
                        "context": step.context, "config": step.config})
        return out


def _fail(path: str, line: int, message: str) -> TestFileError:
    return TestFileError(f"{path}:{line}: {message}")


def _dict_or_none(obj: dict[str, Any], key: str, path: str, line: int) -> dict[str, Any] | None:
    value = obj.get(key)
    if value is not None and not isinstance(value, dict):
        raise _fail(path, line, f"'{key}' must be an object")
    return value


def _str_list(value: Any, key: str, path: str, line: int, lower: bool = False) -> list[str] | None:
    if value is None:
        return None
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise _fail(path, line, f"expect '{key}' must be a list of strings")
    return [v.lower() for v in value] if lower else list(value)


def parse_expectation(raw: Any, path: str, line: int) -> Expectation:
    """The ``expect`` value of the step at ``path:line``: a verdict, an object
    of expectations, or None for none; TestFileError for anything else."""
    if raw is None:
        return Expectation()
    if isinstance(raw, str):
        raw = {"verdict": raw}
    if not isinstance(raw, dict):
        raise _fail(path, line, "'expect' must be a verdict or an object")
    unknown = sorted(set(raw) - set(EXPECT_KEYS))
    if unknown:
        raise _fail(path, line, f"unknown expectation {unknown[0]!r} (known: {', '.join(EXPECT_KEYS)})")
    verdict = raw.get("verdict")
    if verdict is not None:
        if not isinstance(verdict, str) or verdict.lower() not in VERDICTS:
            raise _fail(path, line, f"expect 'verdict' must be one of {', '.join(VERDICTS)}")
        verdict = verdict.lower()
    reason = raw.get("reason")
    if reason is not None and not isinstance(reason, str):
        raise _fail(path, line, "expect 'reason' must be a string")
    pattern = raw.get("reason_matches")
    compiled = None
    if pattern is not None:
        if not isinstance(pattern, str):
            raise _fail(path, line, "expect 'reason_matches' must be a string")
        try:
            compiled = re.compile(pattern)
        except re.error as exc:
            raise _fail(path, line, f"expect 'reason_matches' is not a valid pattern ({exc})") from None
    rules = raw.get("triggered_rules")
    if rules is not None and (
        not isinstance(rules, list) or not all(isinstance(r, int) and not isinstance(r, bool) for r in rules)
    ):
        raise _fail(path, line, "expect 'triggered_rules' must be a list of rule ids")
    actions = _str_list(raw.get("actions"), "actions", path, line, lower=True)
    if actions is not None and any(a not in VERBS for a in actions):
        raise _fail(path, line, f"expect 'actions' must hold verbs among {', '.join(VERBS)}")
    return Expectation(
        verdict=verdict,
        reason=reason,
        reason_matches=compiled,
        triggered_rules=rules,
        actions=actions,
        violations=_str_list(raw.get("violations"), "violations", path, line),
        constraint_violations=_str_list(raw.get("constraint_violations"), "constraint_violations", path, line),
    )


def parse_test_file(path: str, text: str) -> list[Case]:
    """The cases of a test file's text; TestFileError naming ``path:line`` at
    the first line that is not valid, so a bad file runs nothing."""
    cases: list[Case] = []
    names: set[str] = set()
    for number, raw_line in enumerate(text.splitlines(), start=1):
        stripped = raw_line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        try:
            obj = json.loads(stripped)
        except json.JSONDecodeError as exc:
            raise _fail(path, number, f"not JSON ({exc.msg})") from None
        if not isinstance(obj, dict):
            raise _fail(path, number, "a line must be a JSON object")
        if "case" in obj:
            name = obj["case"]
            if not isinstance(name, str) or not name:
                raise _fail(path, number, "'case' must be a non-empty string")
            if name in names:
                raise _fail(path, number, f"case {name!r} is defined twice")
            unknown = sorted(set(obj) - set(CASE_KEYS))
            if unknown:
                raise _fail(path, number, f"unknown key {unknown[0]!r} in a case line")
            names.add(name)
            case = Case(name, path, number)
            context = _dict_or_none(obj, "context", path, number)
            config = _dict_or_none(obj, "config", path, number)
            if context is not None or config is not None:
                case.steps.append(Step(number, None, context=context, config=config))
            cases.append(case)
            continue
        if not cases:
            raise _fail(path, number, "an event before the first case line ({\"case\": NAME})")
        unknown = sorted(set(obj) - set(STEP_KEYS))
        if unknown:
            raise _fail(path, number, f"unknown key {unknown[0]!r} in an event line")
        event_type = obj.get("type")
        if event_type is not None and not isinstance(event_type, str):
            raise _fail(path, number, "'type' must be a string")
        ts = obj.get("ts")
        if ts is not None and (not isinstance(ts, int) or isinstance(ts, bool) or not 0 <= ts < 2**64):
            raise _fail(path, number, "'ts' must be an integer number of milliseconds, 0 or more")
        step = Step(
            number,
            event_type,
            fields=_dict_or_none(obj, "fields", path, number),
            ts=ts,
            context=_dict_or_none(obj, "context", path, number),
            config=_dict_or_none(obj, "config", path, number),
            expect=parse_expectation(obj.get("expect"), path, number),
        )
        if event_type is None and not step.expect.is_empty():
            raise _fail(path, number, "an expectation needs an event ('type')")
        cases[-1].steps.append(step)
    return cases
