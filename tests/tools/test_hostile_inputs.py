"""Every command turns bad input and a missing extra into its documented
exit status and one clear line, never a traceback."""

from __future__ import annotations

import importlib.util
import json
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from tools_support import EXAMPLES, Run, cli  # noqa: F401  (cli is a fixture)

POLICY = EXAMPLES / "guard_policy.zelvo"
README_LINE = ('{"type": "tool_call", "fields": {"tool": "shell"}, "ts": 1733650000000, "session": "agent-17", '
               '"expect": "deny"}\n')


def deep(levels: int) -> dict[str, Any]:
    value: dict[str, Any] = {"a": 1}
    for _ in range(levels):
        value = {"a": value}
    return value


def one_error_line(run: Run, command: str) -> None:
    assert run.status == 2, run
    assert "Traceback" not in run.err
    lines = run.err.splitlines()
    assert lines and lines[0].startswith(f"korvanthel {command}: error: "), run.err


@pytest.mark.parametrize("prefix", [b"", b"\xef\xbb\xbf"])
def test_the_readme_trace_line_is_one_event_with_or_without_a_byte_order_mark(
    cli: Callable[..., Run], tmp_path: Path, prefix: bytes
) -> None:
    trace = tmp_path / "t.jsonl"
    trace.write_bytes(prefix + README_LINE.encode() + README_LINE.replace("agent-17", "agent-18").encode())
    one = cli("replay", POLICY, trace)
    assert one.status == 1 and one.err.startswith("Replay of 2 events against policy")  # shell is allowed
    per_session = cli("replay", POLICY, trace, "--session-key", "session")
    assert per_session.err.startswith("Replay of 2 events in 2 sessions against policy"), per_session.err


def test_fields_deeper_than_the_engine_takes(cli: Callable[..., Run], tmp_path: Path) -> None:
    event = json.dumps({"type": "tool_call", "fields": deep(300)})
    one_error_line(cli("explain", POLICY, "--event", event), "explain")
    cases = tmp_path / "deep.test.jsonl"
    cases.write_text('{"case": "deep"}\n' + json.dumps({"type": "tool_call", "fields": deep(300), "expect": "allow"})
                     + "\n", encoding="utf-8")
    one_error_line(cli("test", POLICY, cases), "test")


def test_replay_on_dask_without_the_extra(cli: Callable[..., Run], tmp_path: Path,
                                          monkeypatch: pytest.MonkeyPatch) -> None:
    trace = tmp_path / "t.jsonl"
    trace.write_text(README_LINE, encoding="utf-8")
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "distributed" else real(name, *a))
    run = cli("replay", POLICY, trace, "--dask", "local:1")
    one_error_line(run, "replay")
    assert "pip install 'korvanthel[dask]'" in run.err and "distributed" in run.err


def test_session_values_1_and_text_1_are_two_sessions(cli: Callable[..., Run], tmp_path: Path) -> None:
    trace = tmp_path / "t.jsonl"
    trace.write_text("".join(json.dumps({"type": "tool_call", "fields": {"tool": "x"}, "ts": i, "session": s}) + "\n"
                             for i, s in enumerate([1, "1", 1, "1"])), encoding="utf-8")
    run = cli("replay", POLICY, trace, "--session-key", "session")
    assert run.err.startswith("Replay of 4 events in 2 sessions against policy"), run.err
    sessions = [json.loads(line)["session"] for line in run.out.splitlines()]
    assert sessions == ["1", "1", "1", "1"]  # named by their text in the results


FUZZ = EXAMPLES.parent / "fuzz"
POLICY_SEEDS = sorted(p for d in ("compiler_fuzz", "container_fuzz", "decoder_fuzz", "format_fuzz", "policy_loader_fuzz",
                                  "roundtrip_fuzz") for p in (FUZZ / "corpus" / d).iterdir()) + sorted(
    p for p in (FUZZ / "regressions").rglob("*") if p.is_file() and p.name != "README.md")
TRACE_SEEDS = sorted((FUZZ / "corpus" / "event_line_fuzz").iterdir())


@pytest.mark.parametrize("seed", POLICY_SEEDS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_every_policy_command_takes_the_fuzz_seeds_as_policy(cli: Callable[..., Run], seed: Path, tmp_path: Path) -> None:
    trace = tmp_path / "t.jsonl"
    trace.write_text(README_LINE, encoding="utf-8")
    for argv in (["replay", seed, trace], ["explain", seed, "--event", '{"type": "tool_call"}'], ["check", seed],
                 ["inspect", seed], ["decompile", seed]):
        run = cli(*argv)
        assert run.status in (0, 1, 2) and "Traceback" not in run.err, (argv, run.err)


@pytest.mark.parametrize("seed", TRACE_SEEDS, ids=lambda p: p.name)
@pytest.mark.parametrize("options", [[], ["--session-key", "session"], ["--strict", "--sort"]])
def test_replay_takes_the_fuzz_seeds_as_trace(cli: Callable[..., Run], seed: Path, options: list[str]) -> None:
    run = cli("replay", POLICY, seed, *options)
    assert run.status in (0, 1, 2) and "Traceback" not in run.err, run.err
