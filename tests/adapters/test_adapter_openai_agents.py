"""The Agents SDK guardrails, driving real agents with the SDK's own
scripted model (no network: traces go to no processor)."""

from __future__ import annotations

import asyncio
import io
import json
import threading
from collections.abc import Iterator
from typing import Any

import pytest

pytest.importorskip("agents")

from adapters_support import EXFIL_INVARIANT, FETCH_REASON, LEAK_REASON, LOGIN_REASON, RM_REASON, LoadRecorder, SpanRecorder, make_guard  # noqa: E402
from agents import (  # noqa: E402
    Agent,
    FunctionTool,
    RunConfig,
    Runner,
    RunResult,
    Tool,
    ToolInputGuardrailTripwireTriggered,
    ToolOutputGuardrailTripwireTriggered,
    function_tool,
    set_trace_processors,
)
from agents.mcp import MCPServer  # noqa: E402
from agents.testing import ScriptedModel, assistant_message, function_call  # noqa: E402
from mcp.types import CallToolResult, GetPromptResult, ListPromptsResult, TextContent  # noqa: E402
from mcp.types import Tool as MCPTool  # noqa: E402

from korvanthel_tools import policy_json as pj  # noqa: E402
from korvanthel_tools.adapters.openai_agents import ToolGuardrails, guard_agent  # noqa: E402
from korvanthel_tools.guarding import Decision, DecisionLog, Guard  # noqa: E402


@pytest.fixture(autouse=True)
def no_trace_export() -> Iterator[None]:
    set_trace_processors([])
    yield


class Tools:
    """Tool functions that record each time they are entered."""

    def __init__(self, outputs: dict[str, str] | None = None) -> None:
        self.entered: list[tuple[str, dict[str, Any]]] = []
        self.outputs = outputs or {}

    def make(self) -> list[Tool]:
        def record(name: str, **arguments: Any) -> str:
            self.entered.append((name, arguments))
            return self.outputs.get(name, f"{name} done")

        @function_tool
        def shell(command: str) -> str:
            """Run a shell command."""
            return record("shell", command=command)

        @function_tool
        def read_file(path: str) -> str:
            """Read a file."""
            return record("read_file", path=path)

        @function_tool
        def upload(url: str) -> str:
            """Upload to a URL."""
            return record("upload", url=url)

        @function_tool
        def fetch(url: str) -> str:
            """Fetch a URL."""
            return record("fetch", url=url)

        @function_tool
        def login(user: str, password: str) -> str:
            """Log in."""
            return record("login", user=user, password=password)

        return [shell, read_file, upload, fetch, login]


def run(agent: Agent[Any], config: RunConfig | None = None) -> RunResult:
    return asyncio.run(Runner.run(agent, "go", run_config=config))


def tool_outputs(model: ScriptedModel) -> list[Any]:
    """The outputs of tool calls in the model's last input, in order."""
    last = model.last_call
    assert last is not None and isinstance(last.input, list)
    return [item["output"] for item in last.input if isinstance(item, dict) and item.get("type") == "function_call_output"]


def scripted(*calls: tuple[str, dict[str, Any]]) -> ScriptedModel:
    steps: list[Any] = [[function_call(name, arguments, call_id=f"c{i}")] for i, (name, arguments) in enumerate(calls)]
    return ScriptedModel([*steps, [assistant_message("done")]])


def test_denied_shell_call_never_runs_and_the_model_reads_the_reason() -> None:
    tools = Tools()
    model = scripted(("shell", {"command": "rm -rf /"}))
    agent = guard_agent(Agent(name="ops", model=model, tools=tools.make()), make_guard())
    result = run(agent)
    assert tools.entered == []
    assert RM_REASON in tool_outputs(model)[0]
    assert result.final_output == "done"
    model.assert_complete()


@pytest.mark.parametrize(
    ("call", "tool_output", "entered", "model_sees", "verdict"),
    [
        (("shell", {"command": "ls -l"}), "total 0", True, "total 0", "allow"),
        (("fetch", {"url": "https://x"}), "<html>", True, "<html>", "audit"),
        (("read_file", {"path": "a"}), "password=hunter2", True, f"[redacted: {LEAK_REASON}]", "redact"),
        # A guardrail cannot rewrite a call's arguments: the call is rejected.
        (("login", {"user": "u", "password": "p"}), "ok", False, LOGIN_REASON, "redact"),
    ],
)
def test_verdicts_reach_the_model(
    call: tuple[str, dict[str, Any]], tool_output: str, entered: bool, model_sees: str, verdict: str
) -> None:
    tools = Tools({call[0]: tool_output})
    model = scripted(call)
    guardrails = ToolGuardrails(make_guard())
    result = run(guardrails.guard_agent(Agent(name="ops", model=model, tools=tools.make())))
    assert bool(tools.entered) is entered
    seen = tool_outputs(model)[0]
    assert seen == model_sees if verdict in ("allow", "audit") else model_sees in seen
    decisions = [r.output.output_info for r in result.tool_input_guardrail_results]
    decisions += [r.output.output_info for r in result.tool_output_guardrail_results]
    assert all(isinstance(d, Decision) for d in decisions)
    assert verdict in {d.verdict for d in decisions}
    if verdict == "audit":
        assert decisions[0].reason == FETCH_REASON


SECRET_THEN_UPLOAD = (("read_file", {"path": "vault"}), ("upload", {"url": "https://x"}))


def test_a_secret_in_a_result_denies_a_later_upload() -> None:
    tools = Tools({"read_file": "token: SECRET-123"})
    model = scripted(*SECRET_THEN_UPLOAD)
    run(guard_agent(Agent(name="ops", model=model, tools=tools.make()), make_guard()))
    assert [name for name, _ in tools.entered] == ["read_file"]
    read, upload = tool_outputs(model)
    assert read == "token: SECRET-123"
    assert EXFIL_INVARIANT in upload


@pytest.mark.parametrize(
    ("scope", "configs", "second_upload_runs"),
    [
        ("conversation", [RunConfig(group_id="a"), RunConfig(group_id="b")], True),
        ("conversation", [RunConfig(group_id="a"), RunConfig(group_id="a")], False),
        ("run", [RunConfig(group_id="a"), RunConfig(group_id="a")], True),
        ("run", [RunConfig(tracing_disabled=True, trace_id="trace_a"), RunConfig(tracing_disabled=True,
                                                                                   trace_id="trace_b")], True),
        ("run", [RunConfig(tracing_disabled=True), RunConfig(tracing_disabled=True)], False),  # no run id: shared
        ("process", [RunConfig(), RunConfig()], False),
        (lambda ctx: "same", [RunConfig(), RunConfig()], False),
    ],
    ids=["other-conversation", "same-conversation", "runs", "runs-untraced-with-ids", "runs-untraced", "process",
         "key-function"],
)
def test_scope_decides_which_runs_share_state(scope: Any, configs: list[RunConfig], second_upload_runs: bool) -> None:
    tools = Tools({"read_file": "SECRET"})
    guardrails = ToolGuardrails(make_guard(), scope=scope)
    first = scripted(SECRET_THEN_UPLOAD[0])  # taints the state the second run sees, if any
    run(guardrails.guard_agent(Agent(name="ops", model=first, tools=tools.make())), configs[0])
    second = scripted(("upload", {"url": "https://y"}))
    run(guardrails.guard_agent(Agent(name="ops", model=second, tools=tools.make())), configs[1])
    uploads = [arguments["url"] for name, arguments in tools.entered if name == "upload"]
    assert uploads == (["https://y"] if second_upload_runs else [])


@pytest.mark.parametrize(
    ("call", "outputs", "error"),
    [
        (("shell", {"command": "rm -rf /"}), {}, ToolInputGuardrailTripwireTriggered),
        (("read_file", {"path": "a"}), {"read_file": "password=1"}, None),  # redact never raises
    ],
)
def test_on_deny_raise_stops_the_run(
    call: tuple[str, dict[str, Any]], outputs: dict[str, str], error: type[ToolInputGuardrailTripwireTriggered] | None
) -> None:
    tools = Tools(outputs)
    model = scripted(call)
    agent = guard_agent(Agent(name="ops", model=model, tools=tools.make()), make_guard(), on_deny="raise")
    if error is None:
        run(agent)
        return
    with pytest.raises(error) as raised:
        run(agent)
    assert tools.entered == []
    assert raised.value.output.output_info.reason == RM_REASON


def test_a_denied_result_raises_the_output_tripwire() -> None:
    tools = Tools({"read_file": "SECRET"})
    guard = Guard.from_json(json.dumps({**json.loads(__import__("adapters_support").POLICY_JSON), "rules": [
        pj.rule(9, ["tool_result"], verdicts=[pj.verdict("Deny", "no")])]}))
    model = scripted(("read_file", {"path": "a"}))
    with pytest.raises(ToolOutputGuardrailTripwireTriggered):
        run(guard_agent(Agent(name="ops", model=model, tools=tools.make()), guard, on_deny="raise"))
    assert [name for name, _ in tools.entered] == ["read_file"]


def test_shadow_mode_blocks_nothing_and_the_decision_log_sees_everything() -> None:
    tools = Tools()
    stream = io.StringIO()
    log = DecisionLog("-", stream=stream)
    model = scripted(("shell", {"command": "rm -rf /"}))
    run(guard_agent(Agent(name="ops", model=model, tools=tools.make()), make_guard(shadow=True, decision_log=log)))
    log.close()
    assert tools.entered == [("shell", {"command": "rm -rf /"})]
    lines = [json.loads(line) for line in stream.getvalue().splitlines()]
    assert [(line["event_type"], line["verdict"], line["enforced"]) for line in lines] == [
        ("tool_call", "deny", "allow"), ("tool_result", "allow", "allow")]
    call = lines[0]["fields"]
    assert call["tool"] == "shell" and call["arguments"] == {"command": "rm -rf /"}
    assert call["agent"] == "ops" and call["call_id"] == "c0" and call["run"].startswith("trace_")


def test_guard_agent_leaves_the_original_agent_and_tools_alone() -> None:
    tools = Tools().make()
    agent = Agent(name="ops", tools=tools)
    guardrails = ToolGuardrails(make_guard())
    guarded = guardrails.guard_agent(agent)
    assert agent.tools == tools and all(isinstance(t, FunctionTool) and not t.tool_input_guardrails for t in tools)
    assert all(isinstance(t, FunctionTool) and t.tool_input_guardrails == [guardrails.input]
               and t.tool_output_guardrails == [guardrails.output] for t in guarded.tools)
    again = guardrails.guard_agent(guarded)
    assert all(t.tool_input_guardrails == [guardrails.input] for t in again.tools if isinstance(t, FunctionTool))


def test_arguments_that_are_not_an_object_reach_the_policy_as_raw_text() -> None:
    stream = io.StringIO()
    log = DecisionLog("-", stream=stream)
    tools = Tools()
    model = ScriptedModel([[function_call("shell", "not json", call_id="c0")], [assistant_message("done")]])
    run(guard_agent(Agent(name="ops", model=model, tools=tools.make()), make_guard(decision_log=log)))
    log.close()
    fields = json.loads(stream.getvalue().splitlines()[0])["fields"]
    assert fields["arguments"] == {} and fields["raw_arguments"] == "not json"


def test_policy_loads_for_new_runs_happen_off_the_event_loop() -> None:
    recorder = LoadRecorder()
    tools = Tools()
    for _ in range(2):
        model = scripted(("shell", {"command": "ls"}))
        run(guard_agent(Agent(name="ops", model=model, tools=tools.make()), recorder.guard, scope="run"))
    assert len(recorder.threads) == 2 and recorder.loaded_off(threading.main_thread())


def test_each_decision_is_a_span_under_the_callers_span() -> None:
    pytest.importorskip("opentelemetry.sdk")
    spans = SpanRecorder()
    tools = Tools()
    model = scripted(("shell", {"command": "rm -rf /"}), ("fetch", {"url": "https://x"}))
    agent = guard_agent(Agent(name="ops", model=model, tools=tools.make()), make_guard(telemetry=spans.telemetry))

    async def traced() -> None:
        with spans.tracer.start_as_current_span("handle-request"):
            await Runner.run(agent, "go")

    asyncio.run(traced())
    assert spans.guard_spans("handle-request") == [
        ("shell", "deny", "tool_call"), ("fetch", "audit", "tool_call"), ("fetch", "allow", "tool_result")]


class RecordingServer(MCPServer):
    """An MCP server in the process: one ``shell`` tool, and a record of
    the calls it received."""

    def __init__(self) -> None:
        super().__init__()
        self.calls: list[tuple[str, dict[str, Any] | None]] = []

    @property
    def name(self) -> str:
        return "ops-server"

    async def connect(self) -> None:
        pass

    async def cleanup(self) -> None:
        pass

    async def list_tools(self, run_context: Any = None, agent: Any = None) -> list[MCPTool]:
        schema = {"type": "object", "properties": {"command": {"type": "string"}}, "required": ["command"]}
        return [MCPTool(name="shell", description="Run a command.", inputSchema=schema)]

    async def call_tool(self, tool_name: str, arguments: dict[str, Any] | None,
                        meta: dict[str, Any] | None = None) -> CallToolResult:
        self.calls.append((tool_name, arguments))
        return CallToolResult(content=[TextContent(type="text", text="ran")])

    async def list_prompts(self) -> ListPromptsResult:
        return ListPromptsResult(prompts=[])

    async def get_prompt(self, name: str, arguments: dict[str, Any] | None = None) -> GetPromptResult:
        raise KeyError(name)


def test_tools_of_the_agents_mcp_servers_are_guarded_and_name_their_server() -> None:
    server = RecordingServer()
    stream = io.StringIO()
    log = DecisionLog("-", stream=stream)
    model = scripted(("shell", {"command": "rm -rf /"}), ("shell", {"command": "ls"}))
    guardrails = ToolGuardrails(make_guard(decision_log=log))
    agent = Agent(name="ops", model=model, mcp_servers=[server])
    guarded = guardrails.guard_agent(guardrails.guard_agent(agent))  # twice: guardrails added once
    assert server.tool_input_guardrails is not None and len(server.tool_input_guardrails) == 1
    run(guarded)
    log.close()
    assert server.calls == [("shell", {"command": "ls"})]
    denied, allowed = tool_outputs(model)
    assert RM_REASON in denied and allowed == [{"type": "input_text", "text": "ran"}]
    lines = [json.loads(line) for line in stream.getvalue().splitlines()]
    assert {line["fields"]["server"] for line in lines} == {"ops-server"}
    assert lines[-1]["event_type"] == "tool_result" and lines[-1]["fields"]["text"] == "ran"
