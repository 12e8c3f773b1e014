"""The tool guard of examples/guarded_tools.py."""

from __future__ import annotations

import asyncio
import json
import logging
from pathlib import Path
from typing import Any

import pytest

from _korvanthel_core import PolicyEngine
from korvanthel_tools.policy_json import binary, event, rule, text, verdict
from tools_support import EXAMPLES, POLICY  # first: puts examples/ on sys.path

from guarded_tools import DEMO_POLICY, ToolDenied, ToolGuard, load_engine, main  # isort: skip

# The test policy plus a rule that audits fetches of non-https URLs by
# looking at an argument, and one that reads a defaulted argument.
GUARD_POLICY: dict[str, Any] = {
    **POLICY,
    "rules": POLICY["rules"] + [
        rule(20, ["tool_call"], binary("Eq", event("arguments", "method"), text("DELETE")), [verdict("Deny", "no deletes")]),
        rule(21, ["tool_call"], binary("Eq", event("arguments", "headers", "x-debug"), text("1")),
             [verdict("Redact", "debug output")]),
    ],
}


@pytest.fixture
def guard() -> ToolGuard:
    return ToolGuard(PolicyEngine.from_json(json.dumps(GUARD_POLICY)))


def test_denied_call_raises_permission_error_with_the_reason_and_does_not_run(
    guard: ToolGuard, caplog: pytest.LogCaptureFixture
) -> None:
    calls: list[str] = []

    @guard.tool("shell")
    def run(command: str) -> None:
        calls.append(command)

    with caplog.at_level(logging.INFO, logger="korvanthel.guard"), pytest.raises(PermissionError) as caught:
        run("ls")
    assert str(caught.value) == "no shell"
    assert isinstance(caught.value, ToolDenied)
    assert caught.value.tool == "shell" and caught.value.result["triggered_rules"] == [7, 9]
    assert calls == []
    assert ("korvanthel.guard", logging.WARNING, "deny shell: no shell (rules [7, 9])") in caplog.record_tuples


@pytest.mark.parametrize(
    ("call", "verdict", "log"),
    [
        ((), "allow", None),
        (("https://x", "DELETE"), "deny", (logging.WARNING, "deny request: no deletes (rules [9, 20])")),
        (("https://x", "GET", {"x-debug": "1"}), "redact", (logging.INFO, "redact request: debug output (rules [9, 21])")),
    ],
)
def test_arguments_reach_the_policy_by_parameter_name_with_defaults(
    guard: ToolGuard, caplog: pytest.LogCaptureFixture, call: tuple[Any, ...], verdict: str,
    log: tuple[int, str] | None,
) -> None:
    @guard.tool()
    def request(url: str = "https://example.com", method: str = "GET", headers: dict[str, str] | None = None) -> str:
        return "done"

    with caplog.at_level(logging.INFO, logger="korvanthel.guard"):
        if verdict == "deny":
            with pytest.raises(ToolDenied):
                request(*call)
        else:
            assert request(*call) == "done"
    if log is not None:
        assert ("korvanthel.guard", *log) in caplog.record_tuples


def test_audit_is_logged_and_the_call_proceeds(guard: ToolGuard, caplog: pytest.LogCaptureFixture) -> None:
    fetch = guard.wrap(lambda url: f"body of {url}", name="fetch")
    with caplog.at_level(logging.INFO, logger="korvanthel.guard"):
        assert fetch("https://x") == "body of https://x"
    assert ("korvanthel.guard", logging.WARNING, "audit fetch: fetch audited (rules [8, 9])") in caplog.record_tuples
    assert ("korvanthel.guard", logging.INFO, "policy action Tag for fetch: {'seen': True}") in caplog.record_tuples


def test_keyword_and_variadic_arguments_become_fields(guard: ToolGuard) -> None:
    seen: list[dict[str, Any]] = []
    original = guard.check

    def spy(tool: str, arguments: Any) -> Any:
        seen.append(dict(arguments))
        return original(tool, arguments)

    guard.check = spy  # type: ignore[method-assign]

    @guard.tool()
    def tool_fn(a: int, *rest: int, **options: str) -> int:
        return a

    assert tool_fn(1, 2, 3, mode="fast") == 1
    assert seen == [{"a": 1, "rest": [2, 3], "mode": "fast"}]


def test_call_that_does_not_fit_the_signature_is_not_evaluated(guard: ToolGuard) -> None:
    @guard.tool()
    def one(x: int) -> int:
        return x

    with pytest.raises(TypeError):
        one(1, 2)  # type: ignore[call-arg]
    assert guard.engine.event_count == 0


def test_a_parameter_named_tool_stays_an_argument(guard: ToolGuard) -> None:
    # Arguments live under "arguments", so none of them can hide the tool's name.
    seen: list[dict[str, Any]] = []
    original = guard.engine.evaluate

    def spy(event_type: str, fields: Any) -> Any:
        seen.append(fields)
        return original(event_type, fields)

    guard.engine = type("Spy", (), {"evaluate": staticmethod(spy)})()
    guard.wrap(lambda tool: tool, name="lookup")("shell")
    assert seen == [{"tool": "lookup", "arguments": {"tool": "shell"}}]


def test_coroutine_tools_are_checked_when_awaited(guard: ToolGuard) -> None:
    @guard.tool("shell")
    async def shell(command: str) -> str:
        return command

    assert asyncio.iscoroutinefunction(shell)
    with pytest.raises(ToolDenied, match="^no shell$"):
        asyncio.run(shell("ls"))

    @guard.tool("search")
    async def search(query: str) -> str:
        return query

    assert asyncio.run(search("q")) == "q"


def test_demo_session_runs_against_the_embedded_policy(capsys: pytest.CaptureFixture[str]) -> None:
    assert main([]) == 0
    out = capsys.readouterr().out
    assert "read_file('/etc/shadow') -> denied: system configuration files are off limits" in out
    assert "read_file('notes/ideas.md') -> denied: RateLimit exceeded: 6 events in 60000ms window (limit: 5)" in out
    assert out.rstrip().endswith("<PolicyEngine policy='demo-tool-guard' events=6>")


def test_policy_json_file_loads(tmp_path: Path) -> None:
    path = tmp_path / "demo.json"
    path.write_text(json.dumps(DEMO_POLICY), encoding="utf-8")
    assert load_engine(str(path)).policy_name == "demo-tool-guard"


@pytest.mark.skipif(not (EXAMPLES / "guard_policy.json").exists(), reason="no example guard policy yet")
def test_demo_session_runs_against_the_example_guard_policy(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["--policy", str(EXAMPLES / "guard_policy.json")]) == 0
    assert capsys.readouterr().out.rstrip().endswith("events=6>")
