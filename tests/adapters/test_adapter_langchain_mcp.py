"""The MCP tool interceptor: a real MCP server (the SDK's FastMCP) in
memory, its tools loaded through langchain-mcp-adapters and driven by an
agent with a scripted fake chat model."""

from __future__ import annotations

import asyncio
import threading
from typing import Any, cast

import pytest

pytest.importorskip("langchain_mcp_adapters")

from adapters_support import EXFIL_INVARIANT, LEAK_REASON, LOGIN_REASON, RM_REASON, LoadRecorder, make_guard  # noqa: E402
from langchain.agents import create_agent  # noqa: E402
from langchain_mcp_adapters.tools import load_mcp_tools  # noqa: E402
from langgraph.checkpoint.memory import InMemorySaver  # noqa: E402
from lc_support import ScriptedChatModel, scripted_chat  # noqa: E402
from mcp.server.fastmcp import FastMCP  # noqa: E402
from mcp.shared.memory import create_connected_server_and_client_session  # noqa: E402

from korvanthel_tools.adapters import PolicyDenied  # noqa: E402
from korvanthel_tools.adapters.langchain_mcp import PolicyInterceptor  # noqa: E402
from korvanthel_tools.guarding import Guard  # noqa: E402


def make_server(calls: list[tuple[str, dict[str, Any]]], outputs: dict[str, str]) -> FastMCP:
    """A server whose tools record each call they receive."""
    server = FastMCP("files")

    @server.tool()
    def shell(command: str) -> str:
        """Run a shell command."""
        calls.append(("shell", {"command": command}))
        return outputs.get("shell", "ran")

    @server.tool()
    def read_file(path: str) -> str:
        """Read a file."""
        calls.append(("read_file", {"path": path}))
        return outputs.get("read_file", "contents")

    @server.tool()
    def upload(url: str) -> str:
        """Upload."""
        calls.append(("upload", {"url": url}))
        return "uploaded"

    @server.tool()
    def login(user: str, password: str) -> str:
        """Log in."""
        calls.append(("login", {"user": user, "password": password}))
        return "ok"

    @server.tool()
    def broken(reason: str) -> str:
        """Always fails."""
        calls.append(("broken", {"reason": reason}))
        raise RuntimeError(reason)

    return server


def run_agent(
    model: ScriptedChatModel,
    interceptor: PolicyInterceptor,
    outputs: dict[str, str] | None = None,
    config: dict[str, Any] | None = None,
) -> list[tuple[str, dict[str, Any]]]:
    """Run one agent over the server's tools; the calls the server received."""
    calls: list[tuple[str, dict[str, Any]]] = []

    async def main() -> None:
        async with create_connected_server_and_client_session(make_server(calls, outputs or {})) as session:
            tools = await load_mcp_tools(session, tool_interceptors=[interceptor], server_name="files")
            agent = create_agent(model, tools=tools, checkpointer=InMemorySaver() if config else None)
            state: Any = {"messages": [{"role": "user", "content": "go"}]}
            await asyncio.wait_for(agent.ainvoke(state, cast(Any, config)), 30)

    asyncio.run(main())
    return calls


def test_denied_call_never_reaches_the_server_and_the_model_reads_the_reason() -> None:
    model = scripted_chat(("shell", {"command": "rm -rf /"}))
    calls = run_agent(model, PolicyInterceptor(make_guard()))
    assert calls == []
    (message,) = model.tool_messages()
    assert message.status == "error" and RM_REASON in str(message.content)


@pytest.mark.parametrize(
    ("call", "outputs", "server_got", "model_sees", "status"),
    [
        (("shell", {"command": "ls"}), {"shell": "total 0"}, {"command": "ls"}, "total 0", "success"),
        (("read_file", {"path": "a"}), {"read_file": "password=1"}, {"path": "a"}, f"[redacted: {LEAK_REASON}]", "success"),
        (("login", {"user": "u", "password": "p"}), {}, {"user": "u", "password": f"[redacted: {LOGIN_REASON}]"}, "ok",
         "success"),
        (("broken", {"reason": "disk on fire"}), {}, {"reason": "disk on fire"}, "disk on fire", "error"),
    ],
    ids=["allow", "redact-result", "redact-call", "server-error"],
)
def test_verdicts(call: tuple[str, dict[str, Any]], outputs: dict[str, str], server_got: dict[str, Any],
                  model_sees: str, status: str) -> None:
    model = scripted_chat(call)
    calls = run_agent(model, PolicyInterceptor(make_guard()), outputs)
    assert calls == [(call[0], server_got)]
    (message,) = model.tool_messages()
    assert message.status == status and model_sees in _text(message.content)


def test_a_secret_in_a_result_denies_a_later_upload_in_the_same_thread_only() -> None:
    interceptor = PolicyInterceptor(make_guard())
    model = scripted_chat(("read_file", {"path": "v"}), ("upload", {"url": "u"}))
    calls = run_agent(model, interceptor, {"read_file": "SECRET"}, {"configurable": {"thread_id": "t1"}})
    assert [name for name, _ in calls] == ["read_file"]
    read, upload = model.tool_messages()
    assert _text(read.content) == "SECRET"
    assert upload.status == "error" and EXFIL_INVARIANT in _text(upload.content)
    other = scripted_chat(("upload", {"url": "u"}))
    assert [name for name, _ in run_agent(other, interceptor, config={"configurable": {"thread_id": "t2"}})] == ["upload"]


def test_on_deny_raise() -> None:
    with pytest.raises(Exception) as raised:
        run_agent(scripted_chat(("shell", {"command": "rm -rf /"})), PolicyInterceptor(make_guard(), on_deny="raise"))
    assert _find(raised.value, PolicyDenied) is not None


def test_server_name_reaches_the_policy() -> None:
    seen: list[dict[str, Any]] = []
    guard = make_guard()
    original = guard.check

    def spy(event_type: str, fields: dict[str, Any], **kwargs: Any) -> Any:
        seen.append({"type": event_type, **fields})
        return original(event_type, fields, **kwargs)

    guard.check = spy  # type: ignore[method-assign]
    run_agent(scripted_chat(("shell", {"command": "ls"})), PolicyInterceptor(guard), {"shell": "out"})
    assert [(e["type"], e["server"], e["tool"]) for e in seen] == [("tool_call", "files", "shell"),
                                                                   ("tool_result", "files", "shell")]
    assert seen[1]["text"] == "out" and seen[1]["is_error"] is False and seen[0]["call_id"] == "c0"
    assert isinstance(guard, Guard)


def _text(content: Any) -> str:
    if isinstance(content, str):
        return content
    return "\n".join(block["text"] if isinstance(block, dict) else str(block) for block in content)


def _find(error: BaseException, kind: type[BaseException]) -> BaseException | None:
    """``error`` or the first exception of ``kind`` among its causes and group members."""
    if isinstance(error, kind):
        return error
    for inner in [*getattr(error, "exceptions", ()), error.__cause__, error.__context__]:
        if inner is not None and (found := _find(inner, kind)) is not None:
            return found
    return None


def test_policy_loads_for_new_threads_happen_off_the_event_loop() -> None:
    recorder = LoadRecorder()
    run_agent(scripted_chat(("shell", {"command": "ls"})), PolicyInterceptor(recorder.guard), config={
        "configurable": {"thread_id": "t"}})
    assert len(recorder.threads) == 1 and recorder.loaded_off(threading.main_thread())
