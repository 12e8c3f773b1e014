"""The README's quick-start policy, as source, behind ``korvanthel
mcp-proxy`` over stdio and Streamable HTTP, with real processes: ``rm -rf
/`` is denied and never reaches the server, ``ls`` runs. A policy that
reads a field the proxy never sends keeps the proxy from starting, unless
``--allow-unknown-fields``."""

from __future__ import annotations

import re
import sys
from pathlib import Path

import pytest
from mcp.client.client import Client
from mcp.client.stdio import StdioServerParameters

from proxy_support import (
    HERE,
    RawClient,
    environment,
    http_proxy,
    http_tool_server,
    proxy_argv,
    recorded,
)

pytestmark = pytest.mark.anyio

README = HERE.parents[1] / "README.md"
SHELL_SERVER_SCRIPT = str(HERE / "shell_server.py")
SHELL_SERVER = [sys.executable, SHELL_SERVER_SCRIPT]


def quick_start_policy(tmp_path: Path, *, misspelt: bool = False) -> Path:
    source = re.search(r"```zelvo\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert source is not None
    text = source.group(1)
    if misspelt:
        text = text.replace("event.arguments.command", "event.command", 1)
    path = tmp_path / "guard.zelvo"
    path.write_text(text, encoding="utf-8")
    return path


async def denies_rm_rf_and_runs_ls(client: Client, record: Path) -> None:
    denied = await client.call_tool("shell", {"command": "rm -rf /"})
    assert denied.is_error
    assert [getattr(block, "text", None) for block in denied.content] == ["Destructive shell command blocked: rm -rf /"]
    allowed = await client.call_tool("shell", {"command": "ls"})
    assert (allowed.is_error, [getattr(block, "text", None) for block in allowed.content]) == (False, ["ran ls"])
    assert [call["arguments"]["command"] for call in recorded(record)] == ["ls"]


async def test_stdio(tmp_path: Path, record: Path) -> None:
    argv = proxy_argv(quick_start_policy(tmp_path), server=[*SHELL_SERVER, "stdio"])
    params = StdioServerParameters(command=argv[0], args=argv[1:], env=environment(record))
    async with Client(params, mode="legacy") as client:
        await denies_rm_rf_and_runs_ls(client, record)


async def test_http(tmp_path: Path, record: Path) -> None:
    with http_tool_server(record, SHELL_SERVER_SCRIPT) as upstream, http_proxy(quick_start_policy(tmp_path), upstream, record) as proxy:
        async with Client(proxy.url, mode="legacy") as client:
            await denies_rm_rf_and_runs_ls(client, record)


def test_a_field_the_proxy_never_sends_stops_it_unless_allowed(tmp_path: Path, record: Path) -> None:
    policy = quick_start_policy(tmp_path, misspelt=True)
    refused = RawClient(proxy_argv(policy, server=[*SHELL_SERVER, "stdio"]), environment(record))
    status, out, err = refused.finish()
    refused.kill()
    line = next(i for i, row in enumerate(policy.read_text().splitlines(), 1) if "event.command" in row)
    assert (status, out) == (2, "")
    assert re.search(rf"{re.escape(str(policy))}:{line}:\d+: error: .*no field \"command\"", err), err
    assert 'did you mean "event.arguments.command"?' in err and "--allow-unknown-fields" in err
    allowed = RawClient(proxy_argv(policy, "--allow-unknown-fields", server=[*SHELL_SERVER, "stdio"]),
                        environment(record))
    try:
        assert allowed.initialize()["result"]["serverInfo"]["name"] == "shell-server"
    finally:
        allowed.kill()


@pytest.mark.parametrize(("options", "verdict"), [
    (["--config", 'blocked_hosts=["evil"]'], True),
    (["--config-file", "FILE"], True),
    ([], False),
])
async def test_config_reaches_the_policy(tmp_path: Path, record: Path, options: list[str], verdict: bool) -> None:
    policy = tmp_path / "hosts.zelvo"
    policy.write_text('policy "hosts" severity high\nrule 1 on tool_call {\n'
                      '  when config.blocked_hosts.any(host, event.arguments.command.contains(host))\n'
                      '  deny "blocked host"\n}\n', encoding="utf-8")
    config = tmp_path / "config.json"
    config.write_text('{"blocked_hosts": ["evil"]}', encoding="utf-8")
    options = [str(config) if o == "FILE" else o for o in options]
    argv = proxy_argv(policy, *options, server=[*SHELL_SERVER, "stdio"])
    params = StdioServerParameters(command=argv[0], args=argv[1:], env=environment(record))
    async with Client(params, mode="legacy") as client:
        result = await client.call_tool("shell", {"command": "curl evil/x"})
    assert result.is_error is verdict
