"""Several ``korvanthel mcp-proxy`` processes sharing state in one Redis:
exact verdicts across the fleet, a proxy killed and restarted, Redis
stopped and started again."""

from __future__ import annotations

import json
import os
import random
import signal
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any

from korvanthel_tools._native import Replayer
from korvanthel_tools.guarding.redis_store import encode_entry
from policies import guard_policy_json
from proxy_support import RawClient, environment, process_gone, proxy_argv, recorded, stdio_server, wait_for
from redis_support import RedisServer

import redis


@contextmanager
def proxy(policy: Path, record: Path, *options: str) -> Iterator[RawClient]:
    """A proxy over the tool server, initialised; the proxy and its server
    are ended on the way out (also after a SIGKILL of the proxy)."""
    client = RawClient(proxy_argv(policy, *options, server=stdio_server()), environment(record))
    try:
        client.initialize()
        yield client
    finally:
        client.kill()
        for pid in {call["pid"] for call in recorded(record)}:
            if not process_gone(pid):
                os.kill(pid, signal.SIGKILL)
                wait_for(lambda: process_gone(pid), f"tool server {pid} to end")


def call(client: RawClient, request_id: int, tool: str, arguments: dict[str, Any]) -> dict[str, Any]:
    reply = client.request(request_id, "tools/call", {"name": tool, "arguments": arguments})
    result: dict[str, Any] = reply["result"]
    return result


def test_three_proxies_share_one_limit_exactly(tmp_path: Path, redis_server: RedisServer) -> None:
    policy = tmp_path / "policy.json"
    policy.write_text(guard_policy_json(rate_limit=10))
    logs = [tmp_path / f"decisions-{n}.jsonl" for n in range(3)]
    with ExitStack() as stack:
        proxies = [
            stack.enter_context(proxy(policy, tmp_path / f"calls-{n}.jsonl", "--state", redis_server.url,
                                      "--state-scope", "global", "--decision-log", str(logs[n])))
            for n in range(3)
        ]
        order = [n for n in range(3) for _ in range(5)]
        random.Random(5).shuffle(order)
        results = [call(proxies[n], i, "read_file", {"path": "notes.txt"}) for i, n in enumerate(order)]
        for client in proxies:
            status, _, err = client.finish()
            assert status == 0 and "Traceback" not in err
    assert sum(not result.get("isError", False) for result in results) == 10

    decisions = [json.loads(line) for log in logs for line in log.read_text().splitlines()]
    decisions.sort(key=lambda d: d["state"]["version"])
    assert [d["state"]["version"] for d in decisions] == list(range(1, 26))  # 15 calls, 10 results
    # One engine fed the committed order gives every verdict the fleet gave.
    client = redis.Redis.from_url(redis_server.url)
    (log_key,) = client.keys("korvanthel:*:global:log")
    entries = client.lrange(log_key, 0, -1)
    engine = Replayer(policy.read_text())
    for decision, entry in zip(decisions, entries, strict=True):
        ts, event_type, fields = json.loads(entry)
        assert (event_type, fields["tool"]) == (decision["event_type"], decision["fields"]["tool"])
        want = engine.evaluate_at(ts, event_type, fields)
        assert (decision["verdict"], decision["reason"]) == (want["verdict"], want["reason"])
    client.close()
    assert encode_entry(0, "t", {}) == b'[0,"t",{}]'


def test_killed_proxy_and_stopped_redis_keep_windows_and_monitors(tmp_path: Path, redis_server: RedisServer) -> None:
    policy = tmp_path / "policy.json"
    policy.write_text(guard_policy_json(rate_limit=10))
    record = tmp_path / "calls.jsonl"
    # State per client: the client's name survives the proxy's restart.
    options = ("--state", redis_server.url, "--state-scope", "field:/client", "--state-timeout", "0.5")
    with proxy(policy, record, *options) as first:
        assert call(first, 1, "read_file", {"path": "secrets.env"})["content"][0]["text"] == "API_KEY=SECRET-1234"
        for n in range(9):
            assert not call(first, 10 + n, "read_file", {"path": "notes.txt"}).get("isError", False)
        first.process.send_signal(signal.SIGKILL)
        first.process.wait(timeout=30)

    with proxy(policy, record, *options) as second:
        eleventh = call(second, 1, "upload", {"url": "https://x", "data": "API_KEY"})
        assert eleventh["isError"]
        text = eleventh["content"][0]["text"]
        assert "rate limit exceeded: 11 tool_call events" in text
        assert "Invariant `no_upload_after_secret` in proof `secret_exfiltration` violated" in text

        redis_server.kill()
        down = call(second, 2, "read_file", {"path": "notes.txt"})
        assert down["isError"]
        assert f"the state store {redis_server.url} did not answer within 0.5 s" in down["content"][0]["text"]

        redis_server.start()  # its append-only file (synced at every write) brings the state back
        back = call(second, 3, "read_file", {"path": "notes.txt"})
        assert back["isError"] and "rate limit exceeded: 12 tool_call events" in back["content"][0]["text"]
        status, _, err = second.finish()
        assert status == 0 and "Traceback" not in err
