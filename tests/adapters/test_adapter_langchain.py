"""The LangChain middleware, driving real agents (``create_agent``) with a
scripted fake chat model, synchronously and in asyncio runs."""

from __future__ import annotations

import asyncio
import io
import json
import threading
from typing import Any

import pytest

pytest.importorskip("langchain.agents")

from adapters_support import EXFIL_INVARIANT, LEAK_REASON, LOGIN_REASON, POLICY, RM_REASON, LoadRecorder, SpanRecorder, make_guard  # noqa: E402
from langchain.agents import create_agent  # noqa: E402
from langchain_core.messages import ToolMessage  # noqa: E402
from langchain_core.tools import BaseTool, tool  # noqa: E402
from langgraph.checkpoint.memory import InMemorySaver  # noqa: E402
from langgraph.types import Command  # noqa: E402
from lc_support import scripted_chat  # noqa: E402

from korvanthel_tools import policy_json as pj  # noqa: E402
from korvanthel_tools.adapters import PolicyDenied  # noqa: E402
from korvanthel_tools.adapters.langchain import PolicyMiddleware  # noqa: E402
from korvanthel_tools.guarding import DecisionLog, Guard  # noqa: E402


class Tools:
    """Tool functions that record each time they are entered."""

    def __init__(self, outputs: dict[str, str] | None = None) -> None:
        self.entered: list[tuple[str, dict[str, Any]]] = []
        self.outputs = outputs or {}

    def record(self, name: str, **arguments: Any) -> str:
        self.entered.append((name, arguments))
        return self.outputs.get(name, f"{name} done")

    def make(self) -> list[BaseTool]:
        @tool
        def shell(command: str) -> str:
            """Run a shell command."""
            return self.record("shell", command=command)

        @tool
        def read_file(path: str) -> str:
            """Read a file."""
            return self.record("read_file", path=path)

        @tool
        def upload(url: str) -> str:
            """Upload to a URL."""
            return self.record("upload", url=url)

        @tool
        def fetch(url: str) -> str:
            """Fetch a URL."""
            return self.record("fetch", url=url)

        @tool
        def login(user: str, password: str) -> str:
            """Log in."""
            return self.record("login", user=user, password=password)

        @tool
        def remember(note: str) -> Command[Any]:
            """Store a note (answers with a command)."""
            self.entered.append(("remember", {"note": note}))
            return Command(update={"messages": [ToolMessage(content=self.outputs.get("remember", note),
                                                            tool_call_id="c0", name="remember")]})

        return [shell, read_file, upload, fetch, login, remember]


def invoke(agent: Any, mode: str, config: dict[str, Any] | None = None) -> dict[str, Any]:
    state = {"messages": [{"role": "user", "content": "go"}]}
    if mode == "async":
        result: dict[str, Any] = asyncio.run(agent.ainvoke(state, config))
        return result
    result = agent.invoke(state, config)
    return result


MODES = ["sync", "async"]


@pytest.mark.parametrize("mode", MODES)
def test_denied_shell_call_never_runs_and_the_model_reads_the_reason(mode: str) -> None:
    tools = Tools()
    model = scripted_chat(("shell", {"command": "rm -rf /"}))
    agent = create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard())])
    result = invoke(agent, mode)
    assert tools.entered == []
    (message,) = model.tool_messages()
    assert message.status == "error" and RM_REASON in message.content and message.tool_call_id == "c0"
    assert result["messages"][-1].content == "done"


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    ("call", "tool_output", "entered", "model_sees", "status"),
    [
        (("shell", {"command": "ls -l"}), "total 0", {"command": "ls -l"}, "total 0", "success"),
        (("fetch", {"url": "https://x"}), "<html>", {"url": "https://x"}, "<html>", "success"),
        (("read_file", {"path": "a"}), "password=hunter2", {"path": "a"}, f"[redacted: {LEAK_REASON}]", "success"),
        (("login", {"user": "u", "password": "p"}), "ok", {"user": "u", "password": f"[redacted: {LOGIN_REASON}]"},
         "ok", "success"),
        (("remember", {"note": "password: x"}), "password: x", {"note": "password: x"}, "password: x", "success"),
    ],
    ids=["allow", "audit", "redact-result", "redact-call", "command"],
)
def test_verdicts_reach_the_model(
    mode: str, call: tuple[str, dict[str, Any]], tool_output: str, entered: dict[str, Any], model_sees: str, status: str
) -> None:
    tools = Tools({call[0]: tool_output})
    model = scripted_chat(call)
    agent = create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard())])
    invoke(agent, mode)
    assert tools.entered == [(call[0], entered)]
    (message,) = model.tool_messages()
    assert (message.content, message.status) == (model_sees, status)


@pytest.mark.parametrize("mode", MODES)
def test_a_secret_in_a_result_denies_a_later_upload(mode: str) -> None:
    tools = Tools({"read_file": "token: SECRET-123"})
    model = scripted_chat(("read_file", {"path": "vault"}), ("upload", {"url": "https://x"}))
    invoke(create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard())]), mode)
    assert [name for name, _ in tools.entered] == ["read_file"]
    read, upload = model.tool_messages()
    assert read.content == "token: SECRET-123" and read.status == "success"
    assert upload.status == "error" and EXFIL_INVARIANT in upload.content


@pytest.mark.parametrize(
    ("scope", "threads", "second_upload_runs", "engines_kept"),
    [
        ("thread", ["a", "b"], True, 2),
        ("thread", ["a", "a"], False, 1),
        ("thread", [None, None], True, 0),  # no thread: one engine per run, gone when it ends
        ("run", ["a", "a"], True, 0),
        ("process", ["a", "b"], False, 1),
        (lambda request: "same", ["a", "b"], False, 1),
    ],
    ids=["other-thread", "same-thread", "no-thread", "runs", "process", "key-function"],
)
def test_scope_decides_which_runs_share_state(
    scope: Any, threads: list[str | None], second_upload_runs: bool, engines_kept: int
) -> None:
    tools = Tools({"read_file": "SECRET"})
    middleware = PolicyMiddleware(make_guard(), scope=scope)
    saver = InMemorySaver()
    models = [scripted_chat(("read_file", {"path": "v"})), scripted_chat(("upload", {"url": "u"}))]
    for thread, model in zip(threads, models):
        agent = create_agent(model, tools=tools.make(), middleware=[middleware], checkpointer=saver if thread else None)
        invoke(agent, "sync", {"configurable": {"thread_id": thread}} if thread else None)
    assert [name for name, _ in tools.entered].count("upload") == (1 if second_upload_runs else 0)
    assert len(middleware.guard.engines) == engines_kept


@pytest.mark.parametrize("mode", MODES)
def test_on_deny_raise(mode: str) -> None:
    tools = Tools()
    model = scripted_chat(("shell", {"command": "rm -rf /"}))
    agent = create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard(), on_deny="raise")])
    with pytest.raises(PolicyDenied, match=RM_REASON):
        invoke(agent, mode)
    assert tools.entered == []


def test_concurrent_calls_in_one_async_step_are_each_judged() -> None:
    tools = Tools({"read_file": "hello"})
    model = scripted_chat(("shell", {"command": "rm -rf /tmp"}), ("read_file", {"path": "a"}),
                          ("shell", {"command": "echo"}), batch=True)
    invoke(create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard())]), "async")
    assert sorted(tools.entered, key=str) == [("read_file", {"path": "a"}), ("shell", {"command": "echo"})]
    by_id = {m.tool_call_id: (m.status, m.content) for m in model.tool_messages()}
    assert by_id["c0"][0] == "error" and RM_REASON in by_id["c0"][1]
    assert by_id["c1"] == ("success", "hello") and by_id["c2"] == ("success", "shell done")


def test_decision_log_gets_the_mapped_fields() -> None:
    stream = io.StringIO()
    log = DecisionLog("-", stream=stream)
    tools = Tools({"shell": "out"})
    model = scripted_chat(("shell", {"command": "ls"}))
    agent = create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard(decision_log=log))],
                         checkpointer=InMemorySaver())
    invoke(agent, "sync", {"configurable": {"thread_id": "t-7"}})
    log.close()
    call, result = (json.loads(line) for line in stream.getvalue().splitlines())
    assert call["event_type"] == "tool_call" and result["event_type"] == "tool_result"
    assert call["session"] == "t-7" and call["fields"]["conversation"] == "t-7"
    assert call["fields"]["arguments"] == {"command": "ls"} and call["fields"]["call_id"] == "c0"
    assert result["fields"]["text"] == "out" and result["fields"]["is_error"] is False
    assert isinstance(call["fields"]["run"], str) and call["fields"]["run"] == result["fields"]["run"]


def test_policy_loads_for_new_threads_happen_off_the_event_loop() -> None:
    recorder = LoadRecorder()
    tools = Tools()
    for thread in ("a", "b"):
        model = scripted_chat(("shell", {"command": "ls"}))
        agent = create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(recorder.guard)],
                             checkpointer=InMemorySaver())
        invoke(agent, "async", {"configurable": {"thread_id": thread}})
    assert len(recorder.threads) == 2 and recorder.loaded_off(threading.main_thread())


@pytest.mark.parametrize("mode", MODES)
def test_each_decision_is_a_span_under_the_callers_span(mode: str) -> None:
    pytest.importorskip("opentelemetry.sdk")
    spans = SpanRecorder()
    tools = Tools()
    model = scripted_chat(("shell", {"command": "rm -rf /"}), ("fetch", {"url": "https://x"}))
    agent = create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard(telemetry=spans.telemetry))])
    with spans.tracer.start_as_current_span("handle-request"):
        invoke(agent, mode)
    assert spans.guard_spans("handle-request") == [
        ("shell", "deny", "tool_call"), ("fetch", "audit", "tool_call"), ("fetch", "allow", "tool_result")]


def test_two_policies_in_one_agent_each_decide() -> None:
    tools = Tools()
    strict = PolicyMiddleware(Guard.from_json(json.dumps({**POLICY, "rules": [
        pj.rule(1, ["tool_call"], verdicts=[pj.verdict("Deny", "x")])]})), name="strict")
    model = scripted_chat(("shell", {"command": "ls"}))
    invoke(create_agent(model, tools=tools.make(), middleware=[PolicyMiddleware(make_guard()), strict]), "sync")
    assert tools.entered == [] and model.tool_messages()[0].content == "x"
