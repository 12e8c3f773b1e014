"""The proxy over stdio, with real processes: the SDK's client talks to
``korvanthel mcp-proxy``, which runs the SDK tool server as its child."""

from __future__ import annotations

import json
import os
import signal
from pathlib import Path
from typing import Any

import anyio
import pytest
from mcp.client.client import Client

from proxy_support import (
    direct,
    process_gone,
    proxied,
    raw_proxy,
    recorded,
    wait_for,
)

pytestmark = pytest.mark.anyio

MODES = ["legacy", "2026-07-28"]


def texts(result: Any) -> list[str]:
    return [block.text for block in result.content]


# tool, arguments, isError, text the client sees, whether the server saw the call
VERDICTS: list[tuple[str, dict[str, Any], bool, str, bool]] = [
    ("read_file", {"path": "notes.txt"}, False, "meeting at noon", True),
    ("shell", {"cmd": "rm -rf /"}, True, "shell access is not allowed", False),
    ("read_file", {"path": "/etc/passwd"}, True, "system files are off limits", False),
    ("upload", {"url": "http://plain", "data": "abc"}, False, "uploaded 3 bytes to http://plain (token None, headers None)", True),
    ("read_file", {"path": "creds.txt"}, False, "[redacted: credentials in tool output]", True),
    ("upload", {"url": "https://x", "token": "t0p", "headers": {"authorization": "Bearer b", "accept": "*/*"}}, False,
     "uploaded 0 bytes to https://x (token [redacted: tokens are not passed to tools], headers "
     "{'authorization': '[redacted: tokens are not passed to tools]', 'accept': '*/*'})", True),
]


@pytest.mark.parametrize("mode", MODES)
async def test_verdicts_act(mode: str, policy: Path, record: Path) -> None:
    async with Client(proxied(policy, record), mode=mode) as client:
        for tool, arguments, is_error, text, reaches in VERDICTS:
            before = len(recorded(record))
            result = await client.call_tool(tool, arguments)
            assert (result.is_error, texts(result)) == (is_error, [text]), tool
            assert len(recorded(record)) == before + reaches, f"{tool}: server saw it: {not reaches}"
    # The redacted call reached the server with the secrets replaced.
    assert recorded(record)[-1]["arguments"]["token"] == "[redacted: tokens are not passed to tools]"


@pytest.mark.parametrize("mode", MODES)
async def test_allowed_call_returns_exactly_what_the_server_returned(mode: str, policy: Path, record: Path) -> None:
    results = []
    for parameters in (direct(record), proxied(policy, record)):
        async with Client(parameters, mode=mode) as client:
            results.append((await client.call_tool("read_file", {"path": "secrets.env"})).model_dump())
            results.append((await client.call_tool("read_file", {"path": "missing"})).model_dump())
    assert results[0:2] == results[2:4]
    assert results[1]["is_error"] is True


@pytest.mark.parametrize("mode", MODES)
async def test_secret_read_blocks_a_later_upload_in_the_same_session_only(mode: str, policy: Path, record: Path) -> None:
    async with Client(proxied(policy, record), mode=mode) as tainted, Client(proxied(policy, record), mode=mode) as clean:
        assert not (await tainted.call_tool("upload", {"url": "https://x"})).is_error
        assert texts(await tainted.call_tool("read_file", {"path": "secrets.env"})) == ["API_KEY=SECRET-1234"]
        denied = await tainted.call_tool("upload", {"url": "https://x", "data": "API_KEY"})
        assert denied.is_error
        assert texts(denied)[0].startswith("Invariant violation: no_upload_after_secret (secret_exfiltration)")
        assert not (await clean.call_tool("upload", {"url": "https://x"})).is_error
    assert [call["tool"] for call in recorded(record)] == ["upload", "read_file", "upload"]


async def test_rate_limit(limited_policy: Path, record: Path) -> None:
    async with Client(proxied(limited_policy, record)) as client:
        for _ in range(2):
            assert not (await client.call_tool("read_file", {"path": "notes.txt"})).is_error
        result = await client.call_tool("read_file", {"path": "notes.txt"})
    assert result.is_error
    assert "rate limit exceeded: 3 tool_call events in 60000 ms (limit 2)" in texts(result)[0]
    assert len(recorded(record)) == 2


@pytest.mark.parametrize("shadow", [False, True])
async def test_decision_log_masking_and_shadow_mode(shadow: bool, policy: Path, record: Path, tmp_path: Path) -> None:
    log = tmp_path / "decisions.jsonl"
    options = ["--decision-log", str(log), "--mask", "/arguments/token", "--mask", "/text"] + (["--shadow"] if shadow else [])
    async with Client(proxied(policy, record, *options)) as client:
        shell = await client.call_tool("shell", {"cmd": "id"})
        creds = await client.call_tool("read_file", {"path": "creds.txt"})
        await client.call_tool("upload", {"url": "https://x", "token": "t0ken"})
    assert shell.is_error is not shadow
    assert texts(creds) == (["user=alice PASSWORD=hunter2"] if shadow else ["[redacted: credentials in tool output]"])
    assert [call["tool"] for call in recorded(record)] == (["shell"] if shadow else []) + ["read_file", "upload"]
    assert recorded(record)[-1]["arguments"]["token"] == ("t0ken" if shadow else "[redacted: tokens are not passed to tools]")
    lines = [json.loads(line) for line in log.read_text().splitlines()]
    summary = [(line["event_type"], line["fields"]["tool"], line["verdict"], line["enforced"]) for line in lines]
    enforced = (lambda verdict: "allow") if shadow else (lambda verdict: verdict)
    assert summary == [
        ("tool_call", "shell", "deny", enforced("deny")),
        *([("tool_result", "shell", "allow", "allow")] if shadow else []),
        ("tool_call", "read_file", "allow", "allow"),
        ("tool_result", "read_file", "redact", enforced("redact")),
        ("tool_call", "upload", "redact", enforced("redact")),
        ("tool_result", "upload", "allow", "allow"),
    ]
    assert all(line["shadow"] is shadow and line["policy"] == "mcp-test-guard" for line in lines)
    by_event = {(line["event_type"], line["fields"]["tool"]): line for line in lines}
    assert by_event["tool_result", "read_file"]["fields"]["text"] == "[masked]"
    assert by_event["tool_call", "upload"]["fields"]["arguments"]["token"] == "[masked]"
    assert lines[0]["fields"]["server"] == "record-server"
    assert "t0ken" not in log.read_text() and "hunter2" not in log.read_text()


async def test_concurrent_calls_on_one_session(policy: Path, record: Path) -> None:
    results: dict[str, Any] = {}
    async with Client(proxied(policy, record)) as client:

        async def call(tag: str) -> None:
            results[tag] = await client.call_tool("gather", {"count": 4, "tag": tag})

        async def denied() -> None:
            results["shell"] = await client.call_tool("shell", {"cmd": "x"})

        with anyio.fail_after(30):
            async with anyio.create_task_group() as group:
                for tag in "abcd":
                    group.start_soon(call, tag)
                group.start_soon(denied)
    assert {tag: texts(results[tag]) for tag in "abcd"} == {tag: [f"gathered {tag}"] for tag in "abcd"}
    assert results["shell"].is_error


# Bad lines from the client and the answer the proxy (or the server) gives.
MALFORMED = [
    (b"this is not json", -32700),
    (b'{"jsonrpc": "2.0", "id": 9, "method": "tools/call", "params": {"name": "read_file"', -32700),
    (b"42", -32600),
    (b"[]", -32600),
    (b'"text"', -32600),
    (b'{"jsonrpc": "2.0", "id": 9, "method": "tools/call", "params": "oops"}', -32602),
    (b'{"jsonrpc": "2.0", "id": 9, "method": "tools/call", "params": {"name": 5}}', -32602),
    (b'{"jsonrpc": "2.0", "id": 9, "method": "tools/call", "params": {"name": "shell", "arguments": [1]}}', -32602),
    (b'{"jsonrpc": "2.0", "id": 9, "method": "no/such/method"}', None),
    (b"[" * 100000 + b"]" * 100000, -32700),
]


def test_malformed_client_input_gets_a_protocol_error(policy: Path, record: Path) -> None:
    # One proxy for the whole table: each bad line must leave the session usable.
    with raw_proxy(policy, record) as proxy:
        proxy.initialize()
        for number, (line, code) in enumerate(MALFORMED, start=1):
            proxy.send_line(line)
            reply = proxy.receive()
            assert "error" in reply, (line[:60], reply)
            if code == -32602:
                assert (reply["id"], reply["error"]["code"]) == (9, code), line[:60]
            elif code is not None:
                assert (reply["id"], reply["error"]["code"]) == (None, code), line[:60]
            after = proxy.request(100 + number, "tools/call", {"name": "read_file", "arguments": {"path": "notes.txt"}})
            assert after["result"]["content"][0]["text"] == "meeting at noon", line[:60]
        status, _, err = proxy.finish()
    assert status == 0 and "Traceback" not in err
    assert [call["tool"] for call in recorded(record)] == ["read_file"] * len(MALFORMED)


def test_garbage_from_the_server_is_dropped(policy: Path, record: Path) -> None:
    with raw_proxy(policy, record) as proxy:
        proxy.initialize()
        reply = proxy.request(1, "tools/call", {"name": "babble", "arguments": {}})
        assert reply["result"]["content"][0]["text"] == "said something"
        status, out, err = proxy.finish()
    assert status == 0 and out == ""
    assert "dropped a line from the server that is not JSON-RPC: 'this is not JSON'" in err
    assert "Traceback" not in err


@pytest.mark.parametrize("how", ["crash mid-call", "killed"])
def test_server_death_ends_the_proxy_cleanly(how: str, policy: Path, record: Path) -> None:
    with raw_proxy(policy, record) as proxy:
        proxy.initialize()
        assert "result" in proxy.request(1, "tools/call", {"name": "read_file", "arguments": {"path": "notes.txt"}})
        server_pid = recorded(record)[0]["pid"]
        if how == "killed":
            proxy.send({"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": "hang", "arguments": {}}})
            wait_for(lambda: len(recorded(record)) == 2, "the hanging call to arrive")
            os.kill(server_pid, signal.SIGKILL)
            expected_status = "-9 (killed by SIGKILL)"
        else:
            proxy.send({"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": "crash", "arguments": {}}})
            expected_status = "3"
        reply = proxy.receive()
        assert reply == {"jsonrpc": "2.0", "id": 2, "error": {
            "code": -32603, "message": f"the MCP server exited with status {expected_status} before answering"}}
        status, out, err = proxy.finish()
    assert status == 1 and out == ""
    assert f"ERROR: the MCP server exited with status {expected_status}; stopping" in err
    assert "Traceback" not in err
    assert process_gone(server_pid)


def test_client_disconnect_mid_call_stops_server_and_proxy(policy: Path, record: Path) -> None:
    with raw_proxy(policy, record) as proxy:
        proxy.initialize()
        proxy.send({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "hang", "arguments": {}}})
        wait_for(lambda: recorded(record), "the hanging call to arrive")
        server_pid = recorded(record)[0]["pid"]
        status, out, err = proxy.finish()
    assert status == 0 and "Traceback" not in err
    # Whatever the server still said (it may answer the call it abandons) is relayed whole.
    assert all(json.loads(line)["id"] == 1 and "error" in json.loads(line) for line in out.splitlines())
    assert process_gone(server_pid)


def test_bad_server_command_and_bad_policy(policy: Path, record: Path, tmp_path: Path) -> None:
    from proxy_support import RawClient, environment, proxy_argv

    missing = RawClient(proxy_argv(policy, server=["/no/such/server"]), environment(record))
    status, out, err = missing.finish()
    missing.kill()
    assert (status, out) == (1, "") and "cannot start the MCP server '/no/such/server'" in err
    bad = tmp_path / "bad.json"
    bad.write_text("{}")
    refused = RawClient(proxy_argv(bad, server=["true"]), environment(record))
    status, out, err = refused.finish()
    refused.kill()
    assert (status, out) == (2, "") and err.startswith(f"korvanthel mcp-proxy: error: {bad}: Invalid policy JSON")


KEEP_DENYING_SOURCE = """\
policy "mcp-keep-denying" severity high

machine 1 secret_exfiltration invariant no_upload_after_secret never {
  after event.text.contains("SECRET")
  deny every later event when event.tool == "upload" and not event.has_key("is_error")
}
"""


async def test_keep_denying_form_denies_every_upload_after_a_secret(record: Path, tmp_path: Path) -> None:
    from korvanthel_tools import _native

    policy = tmp_path / "keep_denying.json"
    policy.write_text(_native.compile_policy_json(KEEP_DENYING_SOURCE, "keep_denying.zelvo"))
    async with Client(proxied(policy, record)) as client:
        assert not (await client.call_tool("upload", {"url": "https://x"})).is_error
        assert texts(await client.call_tool("read_file", {"path": "secrets.env"})) == ["API_KEY=SECRET-1234"]
        for _ in range(2):
            denied = await client.call_tool("upload", {"url": "https://x", "data": "API_KEY"})
            assert denied.is_error
            assert texts(denied)[0].startswith("Invariant violation: no_upload_after_secret (secret_exfiltration)")
        assert not (await client.call_tool("read_file", {"path": "notes.txt"})).is_error
    assert [call["tool"] for call in recorded(record)] == ["upload", "read_file", "read_file"]
