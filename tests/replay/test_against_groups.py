"""replay_lines(..., against=, examples=): the differences grouped in the
native pass are exactly what the Python pairing of the same replay's result
lines finds, and each differing event's record is the text json.dumps
writes for it."""

from __future__ import annotations

import json
from typing import Any

import pytest

from korvanthel_tools import _native
from korvanthel_tools import policy_json as pj
from korvanthel_tools.replay.policy_diff import diff_from_changes, diff_pair_lines
from replay_policies import DEADLINE, ECHO, GUARD, RATE_LIMITED, SECOND, T0, eq, policy, ref, trace

# A reason with quotes, escapes and text beyond ASCII.
QUOTING = policy(rules=[pj.rule(3, ["tool_call"], eq(ref("tool"), "search"), [pj.verdict("Deny", 'nö "search"\n\t\x01')])])
VALUES: list[Any] = [1.5, 1e16, 1e-05, -0.0, 2**63 - 1, -(2**63), "é\u2028\x7f", None, True, {"a": [1, {"b": "c\\"}]}]


@pytest.mark.parametrize("examples", [0, 1, 2, 5])
@pytest.mark.parametrize("sort", [False, True])
@pytest.mark.parametrize("sessions", [False, True])
@pytest.mark.parametrize("other", [RATE_LIMITED, DEADLINE, ECHO, QUOTING])
def test_native_groups_and_records_are_the_python_pairings(other: str, sessions: bool, sort: bool,
                                                             examples: int) -> None:
    tools = ["search", "shell", "read_secret", "upload", "approve"]
    events = [{"type": "tool_call", "session": i % 3 if i % 2 else f"s{i % 3}",
               "ts": T0 + ((i * 7919) % 60 if sort else i) * 2 * SECOND,
               "fields": {"tool": tools[i % 5], "v": VALUES[i % len(VALUES)]}} for i in range(60)]
    data = trace(*events) + b'{"bad": 1}\n'
    kwargs: dict[str, Any] = {"sort": sort, "context": {"owner": "alice"}}
    if sessions:
        kwargs["session_key"] = "session"
    for files in (None, [("a.jsonl", 1), ("b.jsonl", 31)]):
        run = _native.replay_lines(GUARD, data, against=other, examples=examples, files=files, **kwargs)
        records: list[dict[str, Any]] = []
        want = diff_pair_lines(run["results"], run["summary"]["events"],
                               on_change=lambda _, r: records.append(r), examples_per_change=examples)
        got = diff_from_changes(run["changes"], run["summary"]["events"], examples_per_change=examples)
        assert got.groups == want.groups and got.events == want.events
        assert got.render(before_name="a", after_name="b") == want.render(before_name="a", after_name="b")
        text = "".join(json.dumps(r, ensure_ascii=False, separators=(",", ":")) + "\n" for r in records)
        assert run["records"] == text.encode()


def test_examples_need_a_second_policy() -> None:
    with pytest.raises(ValueError, match=r"^examples needs against \(a second policy\)$"):
        _native.replay_lines(GUARD, b"", examples=3)
    with pytest.raises(ValueError, match=r"^examples must be at least 0$"):
        _native.replay_lines(GUARD, b"", against=ECHO, examples=-1)
