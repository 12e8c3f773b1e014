"""The proxy over Streamable HTTP on loopback, with real processes: the
SDK's client talks to ``korvanthel mcp-proxy --listen``, which relays to the
SDK tool server's HTTP endpoint."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import anyio
import httpx2
import pytest
from mcp.client.client import Client

from proxy_support import free_port, http_proxy, http_tool_server, recorded
from test_proxy_stdio import MODES, VERDICTS, texts

pytestmark = pytest.mark.anyio


@pytest.mark.parametrize("mode", MODES)
async def test_verdicts_act(mode: str, policy: Path, record: Path) -> None:
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record) as proxy:
        async with Client(proxy.url, mode=mode) as client:
            for tool, arguments, is_error, text, reaches in VERDICTS:
                before = len(recorded(record))
                result = await client.call_tool(tool, arguments)
                assert (result.is_error, texts(result)) == (is_error, [text]), tool
                assert len(recorded(record)) == before + reaches, f"{tool}: server saw it: {not reaches}"
        async with Client(upstream, mode=mode) as client:
            direct = (await client.call_tool("read_file", {"path": "notes.txt"})).model_dump()
        async with Client(proxy.url, mode=mode) as client:
            assert (await client.call_tool("read_file", {"path": "notes.txt"})).model_dump() == direct
        assert proxy.process.poll() is None


@pytest.mark.parametrize("shared", [False, True])
async def test_state_per_session_or_shared(shared: bool, policy: Path, record: Path) -> None:
    options = ["--shared-state"] if shared else []
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record, *options) as proxy:
        async with Client(proxy.url, mode="legacy") as tainted, Client(proxy.url, mode="legacy") as other:
            await tainted.call_tool("read_file", {"path": "secrets.env"})
            assert (await tainted.call_tool("upload", {"url": "https://x"})).is_error
            assert (await other.call_tool("upload", {"url": "https://x"})).is_error is shared
    assert [call["tool"] for call in recorded(record)] == ["read_file"] + ([] if shared else ["upload"])


async def test_concurrent_calls_on_one_session(policy: Path, record: Path) -> None:
    results: dict[str, Any] = {}
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record) as proxy:
        async with Client(proxy.url, mode="legacy") as client:

            async def call(tag: str) -> None:
                results[tag] = await client.call_tool("gather", {"count": 3, "tag": tag})

            with anyio.fail_after(30):
                async with anyio.create_task_group() as group:
                    for tag in "abc":
                        group.start_soon(call, tag)
    assert {tag: texts(results[tag]) for tag in "abc"} == {tag: [f"gathered {tag}"] for tag in "abc"}


MODERN_META = {"io.modelcontextprotocol/protocolVersion": "2026-07-28", "io.modelcontextprotocol/clientCapabilities": {}}
HEADERS = {"accept": "application/json, text/event-stream", "mcp-protocol-version": "2026-07-28"}


def call(tool: str, arguments: dict[str, Any], request_id: int = 1) -> dict[str, Any]:
    return {"jsonrpc": "2.0", "id": request_id, "method": "tools/call",
            "params": {"name": tool, "arguments": arguments, "_meta": MODERN_META}}


def headers(tool: str) -> dict[str, str]:
    return {**HEADERS, "mcp-method": "tools/call", "mcp-name": tool}


async def test_bad_input_unreachable_upstream_and_disconnect(policy: Path, record: Path) -> None:
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record) as proxy:
        async with httpx2.AsyncClient(timeout=30) as http:
            garbage = await http.post(proxy.url, content=b"{not json", headers=HEADERS)
            assert garbage.status_code == 400 and garbage.json()["error"]["code"] == -32700
            denied = await http.post(proxy.url, json=call("shell", {"cmd": "x"}), headers=headers("shell"))
            assert denied.status_code == 200
            assert denied.json()["result"] == {
                "content": [{"type": "text", "text": "shell access is not allowed"}], "isError": True, "resultType": "complete"}
            # A client that gives up mid-call: the proxy goes on serving.
            async with anyio.create_task_group() as group:
                group.start_soon(lambda: http.post(proxy.url, json=call("hang", {}), headers=headers("hang")))
                with anyio.fail_after(30):
                    while not recorded(record):  # the call reached the server
                        await anyio.sleep(0.01)
                group.cancel_scope.cancel()
            assert [c["tool"] for c in recorded(record)] == ["hang"]
            allowed = await http.post(proxy.url, json=call("read_file", {"path": "notes.txt"}, 2), headers=headers("read_file"))
            assert allowed.status_code == 200 and "meeting at noon" in allowed.text
    # An upstream nobody listens on.
    with http_proxy(policy, f"http://127.0.0.1:{free_port()}/mcp", record) as proxy:
        async with httpx2.AsyncClient(timeout=30) as http:
            unreachable = await http.post(proxy.url, json=call("read_file", {"path": "x"}), headers=headers("read_file"))
            assert unreachable.status_code == 502
            assert unreachable.json()["error"]["message"] == "the MCP server cannot be reached: ConnectError"
            assert proxy.process.poll() is None
    text = b"".join(proxy.errors).decode()
    assert "Traceback" not in text and "cannot be reached" in text
    assert json.loads(unreachable.text)["id"] is None


async def test_sessionless_requests_with_the_same_id_are_each_evaluated(policy: Path, record: Path) -> None:
    # Two stateless clients that both number their call 1, in flight at once:
    # each result must be evaluated (and redacted), none relayed unseen.
    replies: dict[str, str] = {}
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record) as proxy:
        async with httpx2.AsyncClient(timeout=30) as http:

            async def gather(tag: str) -> None:
                response = await http.post(proxy.url, json=call("gather", {"count": 2, "tag": tag}), headers=headers("gather"))
                replies[tag] = response.text

            with anyio.fail_after(30):
                async with anyio.create_task_group() as group:
                    group.start_soon(gather, "PASSWORD=one")
                    group.start_soon(gather, "PASSWORD=two")
    assert set(replies) == {"PASSWORD=one", "PASSWORD=two"}
    for text in replies.values():
        assert "[redacted: credentials in tool output]" in text and "gathered" not in text
