"""The README's quick-start policy behind the Agents SDK guardrails and the
LangChain middleware: ``rm -rf /`` is denied and ``ls`` runs; a policy that
reads a field these integrations never send is refused when the adapter
is made, unless the caller opts out."""

from __future__ import annotations

import asyncio
import re
from pathlib import Path
from typing import Any

import pytest

from korvanthel_tools.adapters.policy import as_guard
from korvanthel_tools.guarding.event_schemas import UnknownFieldsError

README = Path(__file__).resolve().parents[2] / "README.md"


def quick_start_policy(tmp_path: Path, *, misspelt: bool = False) -> Path:
    """The first ``zelvo`` block of the README, as a source file; with
    ``misspelt`` it reads ``event.command``, which no integration sends."""
    source = re.search(r"```zelvo\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert source is not None
    text = source.group(1)
    if misspelt:
        text = text.replace("event.arguments.command", "event.command", 1)
    path = tmp_path / "guard.zelvo"
    path.write_text(text, encoding="utf-8")
    return path


def test_openai_agents_guard_denies_rm_rf_and_lets_ls_through(tmp_path: Path) -> None:
    pytest.importorskip("agents")
    from agents import Agent, Runner, function_tool, set_trace_processors
    from agents.testing import ScriptedModel, assistant_message, function_call

    from korvanthel_tools.adapters.openai_agents import guard_agent

    set_trace_processors([])
    ran: list[str] = []

    @function_tool
    def shell(command: str) -> str:
        """Run a shell command."""
        ran.append(command)
        return f"ran {command}"

    model = ScriptedModel([
        [function_call("shell", {"command": "rm -rf /"}, call_id="c0")],
        [function_call("shell", {"command": "ls"}, call_id="c1")],
        [assistant_message("done")],
    ])
    agent = guard_agent(Agent(name="ops", model=model, tools=[shell]), str(quick_start_policy(tmp_path)))
    result = asyncio.run(Runner.run(agent, "go"))
    assert ran == ["ls"]
    assert result.final_output == "done"


def test_langchain_middleware_denies_rm_rf_and_lets_ls_through(tmp_path: Path) -> None:
    pytest.importorskip("langchain.agents")
    from langchain.agents import create_agent
    from langchain_core.messages import ToolMessage
    from langchain_core.tools import tool
    from lc_support import scripted_chat

    from korvanthel_tools.adapters.langchain import PolicyMiddleware

    ran: list[str] = []

    @tool
    def shell(command: str) -> str:
        """Run a shell command."""
        ran.append(command)
        return f"ran {command}"

    model = scripted_chat(("shell", {"command": "rm -rf /"}), ("shell", {"command": "ls"}))
    agent: Any = create_agent(model, tools=[shell], middleware=[PolicyMiddleware(str(quick_start_policy(tmp_path)))])
    messages = agent.invoke({"messages": [{"role": "user", "content": "go"}]})["messages"]
    assert ran == ["ls"]
    answers = [m for m in messages if isinstance(m, ToolMessage)]
    assert [m.status for m in answers] == ["error", "success"]
    assert "Destructive shell command blocked: rm -rf /" in str(answers[0].content)


@pytest.mark.parametrize("integration", ["openai-agents", "langchain"])
def test_a_field_the_integration_never_sends_is_refused_unless_allowed(tmp_path: Path, integration: str) -> None:
    path = quick_start_policy(tmp_path, misspelt=True)
    with pytest.raises(UnknownFieldsError) as refused:
        as_guard(str(path), integration=integration)
    text = str(refused.value)
    line = next(i for i, row in enumerate(path.read_text().splitlines(), 1) if "event.command" in row)
    assert re.search(rf"{re.escape(str(path))}:{line}:\d+: error: .*no field \"command\"", text), text
    assert 'did you mean "event.arguments.command"?' in text
    assert "allow_unknown_fields=True" in text
    assert [d.line for d in refused.value.diagnostics] == [line]
    guard = as_guard(str(path), integration=integration, allow_unknown_fields=True)
    assert guard.check_call("shell", {"command": "rm -rf /"}).verdict == "allow"  # what the opt-out means


def test_context_and_config_reach_every_engine(tmp_path: Path) -> None:
    path = tmp_path / "hosts.zelvo"
    path.write_text(
        'policy "hosts" severity high\n'
        "rule 1 on tool_call {\n"
        '  when config.blocked_hosts.any(host, event.arguments.url.contains(host)) and context.env == "prod"\n'
        '  deny "blocked host"\n'
        "}\n",
        encoding="utf-8",
    )
    guard = as_guard(str(path), integration="langchain", context={"env": "prod"}, config={"blocked_hosts": ["evil"]})
    verdicts: list[Any] = [guard.check_call("fetch", {"url": u}, session=s).verdict
                           for s in ("a", "b") for u in ("https://evil/x", "https://ok/x")]
    assert verdicts == ["deny", "allow", "deny", "allow"]
