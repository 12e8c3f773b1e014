"""Reading ``*.test.jsonl`` files into cases.

Each non-blank line is a JSON object; a line starting with ``#`` is a
comment. A line with ``"case"`` starts a case (optionally with
``context`` and ``config`` to store first); every other line is a step of
the current case: an event (``type``, optional ``fields``, ``ts``,
``context``, ``config``, ``expect``) or only settings (``context`` and/or
``config`` without ``type``). Lines are read by the event-line reader
the replay uses, so ``type``, ``fields`` and ``ts`` mean what they mean in
a trace.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any

VERDICTS = ("allow", "deny", "audit", "redact")
VERBS = ("log", "notify", "escalate", "block", "tag")
EXPECT_KEYS = (
    "verdict", "reason", "reason_matches", "triggered_rules", "actions", "violations", "constraint_violations",
)


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


# Keys of a test file's lines beyond the event's; ``expect`` is read here,
# since a test may expect more than a verdict.
_OWN_KEYS = ("case", "context", "config", "expect")
# This format's own words for some problems of a line; any other problem
# is told in the event-line reader's words.
_OWN_WORDS = {
    "not_object": "a line must be a JSON object",
    "type": "'type' must be a string",
    "fields": "'fields' must be an object",
    "ts_number": "'ts' must be an integer number of milliseconds, 0 or more",
}


def _read_line(path: str, number: int, text: str) -> dict[str, Any]:
    """One line read by the event-line reader, with this format's keys."""
    from korvanthel_tools import _native

    try:
        return _native.read_event_line(text, extra_keys=_OWN_KEYS, require_type=False)
    except _native.EventLineError as exc:
        if exc.code == "unknown_key":
            kind = "a case line" if _is_case_line(text, exc.key) else "an event line"
            raise _fail(path, number, f"unknown key {exc.key!r} in {kind}") from None
        raise _fail(path, number, _OWN_WORDS.get(exc.code or '', exc.problem)) from None


def _is_case_line(text: str, unknown: str | None) -> bool:
    """Whether a line refused for the key ``unknown`` starts a case."""
    from korvanthel_tools import _native

    try:
        obj = _native.read_event_line(text, extra_keys=(*_OWN_KEYS, unknown or ""), require_type=False)
    except (_native.EventLineError, ValueError):
        return False
    return "case" in obj


def parse_test_file(path: str, text: str) -> list[Case]:
    """The cases of a test file's text; TestFileError naming ``path:line`` at
    the first line that is not valid, so a bad file runs nothing."""
    cases: list[Case] = []
    names: set[str] = set()
    for number, raw_line in enumerate(text.splitlines(), start=1):
        stripped = raw_line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        obj = _read_line(path, number, stripped)
        if "case" in obj:
            name = obj["case"]
            if not isinstance(name, str) or not name:
                raise _fail(path, number, "'case' must be a non-empty string")
            if name in names:
                raise _fail(path, number, f"case {name!r} is defined twice")
            event_keys = [k for k in ("type", "ts", "expect") if obj.get(k) is not None]
            if obj["fields"]:
                event_keys.append("fields")
            if event_keys:
                raise _fail(path, number, f"unknown key {sorted(event_keys)[0]!r} in a case line")
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
        event_type = obj["type"]
        step = Step(
            number,
            event_type,
            fields=obj["fields"] if event_type is not None else None,
            ts=obj["ts"],
            context=_dict_or_none(obj, "context", path, number),
            config=_dict_or_none(obj, "config", path, number),
            expect=parse_expectation(obj.get("expect"), path, number),
        )
        if event_type is None and not step.expect.is_empty():
            raise _fail(path, number, "an expectation needs an event ('type')")
        cases[-1].steps.append(step)
    return cases
