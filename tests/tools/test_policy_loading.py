"""One policy loader: every entry point takes the example policy as source,
container or JSON, told apart by content (not by the file's name), and a
damaged source fails everywhere with the compiler's diagnostic."""

from __future__ import annotations

import re
import shutil
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from korvanthel_tools import _native
from korvanthel_tools.guarding import Guard, PolicyLoadError
from korvanthel_tools.guarding.policy_loader import PolicySourceError
from korvanthel_tools.guarding.source_hash import source_hash
from tools_support import EXAMPLES, Run, cli, write_events  # noqa: F401  (cli is a fixture)

SOURCE = EXAMPLES / "guard_policy.zelvo"
RM: dict[str, Any] = {"type": "tool_call", "fields": {"tool": "shell", "arguments": {"command": "rm -rf /"}}, "ts": 0}
LS: dict[str, Any] = {"type": "tool_call", "fields": {"tool": "shell", "arguments": {"command": "ls"}}, "ts": 1}


@pytest.fixture(params=["guard_policy.zelvo", "guard_policy.zelvoc", "guard_policy.json"])
def policy(request: pytest.FixtureRequest, tmp_path: Path) -> Path:
    # A name that says nothing of the form: the content decides.
    path = tmp_path / "policy.txt"
    shutil.copyfile(EXAMPLES / str(request.param), path)
    return path


def test_every_entry_point_takes_every_form(cli: Callable[..., Run], policy: Path, tmp_path: Path) -> None:
    expected = source_hash(SOURCE.read_bytes())
    guard = Guard.from_path(str(policy))
    assert guard.check_call("shell", {"command": "rm -rf /"}).verdict == "deny"
    assert guard.source_hash == expected
    events = write_events(tmp_path / "e.jsonl", [{**RM, "expect": "deny"}, {**LS, "expect": "allow"}])
    run = cli("replay", policy, events, "--against", SOURCE)
    assert run.status == 0, run.err
    run = cli("replay", policy, events)
    assert run.status == 0, run.err
    assert f"Policy source hash: {expected}\n" in run.err
    explained = cli("explain", policy, "--event", '{"type": "tool_call", "fields": {"tool": "shell", '
                    '"arguments": {"command": "rm -rf /"}}}')
    assert explained.status == 0 and "deny" in explained.out.lower(), explained.err
    assert cli("test", policy, EXAMPLES / "guard_policy.test.jsonl").status == 0


def test_a_damaged_source_fails_with_the_same_diagnostic_everywhere(cli: Callable[..., Run], tmp_path: Path) -> None:
    damaged = tmp_path / "damaged.zelvo"
    damaged.write_text(SOURCE.read_text().replace(".contains(", ".contain(", 1), encoding="utf-8")
    with pytest.raises(_native.CompileError) as compiled:
        _native.compile_policy(damaged.read_bytes(), str(damaged))
    first = compiled.value.diagnostics[0]
    place = f"{damaged}:{first.line}:{first.column}: error: {first.message}"

    with pytest.raises(PolicySourceError) as from_guard:
        Guard.from_path(str(damaged))
    assert place in str(from_guard.value) and isinstance(from_guard.value, PolicyLoadError)
    for argv in (["replay", damaged, write_events(tmp_path / "e.jsonl", [RM])],
                 ["explain", damaged, "--event", '{"type": "tool_call"}'],
                 ["mcp-proxy", "--policy", damaged, "--", "true"]):
        run = cli(*argv)
        assert run.status == 2 and place in run.err, (argv, run.err)
        assert "Traceback" not in run.err
    with pytest.raises(_native.CompileError) as from_replayer:
        _native.Replayer(damaged.read_text())
    assert [(d.line, d.column, d.message) for d in from_replayer.value.diagnostics] == [
        (d.line, d.column, d.message) for d in compiled.value.diagnostics]


def test_replayer_and_native_replay_take_source_text() -> None:
    replayer = _native.Replayer(SOURCE.read_text())
    assert replayer.evaluate_at(0, "tool_call", RM["fields"])["verdict"] == "deny"
    run = _native.replay_lines(SOURCE.read_text(), b'{"type": "tool_call", "fields": {"tool": "shell"}}\n')
    assert run["summary"]["events"] == 1


@pytest.mark.parametrize("text", ["", "   \n", "\ufeff{}", "policy", "[1,2", "\x00"])
def test_hostile_policy_text_is_one_clear_error(text: str, tmp_path: Path, cli: Callable[..., Run]) -> None:
    path = tmp_path / "p"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(PolicyLoadError):
        Guard.from_path(str(path))
    run = cli("replay", path, write_events(tmp_path / "e.jsonl", [RM]))
    assert run.status == 2 and run.err.startswith("korvanthel replay: error: ") and "Traceback" not in run.err
    assert re.match(r"korvanthel replay: error: \S", run.err)


@pytest.mark.parametrize("name", ["guard_policy.zelvo", "guard_policy.json", "guard_policy.zelvoc"])
def test_check_for_an_integration_takes_every_form(cli: Callable[..., Run], name: str) -> None:
    # The example also judges the host's own data_access events, whose fields no integration sends.
    run = cli("check", EXAMPLES / name, "--for", "mcp")
    assert run.status == 1
    assert re.search(r':\d+:\d+: error: event types "tool_call" and "tool_result" have no field "classification"',
                     run.err), run.err
    assert 'rule 5 can never fire: the schema has no event type "data_access"' in run.err
