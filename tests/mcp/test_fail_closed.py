"""Nothing undecided crosses the proxy, whatever the client sends and
whatever the server answers: a property test of the relay's message path
(the functions the stdio relay runs on every line) against a recording
model server, then the same guarantees and the clean ends with real
processes."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any, cast

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvanthel_tools.guarding import Guard
from korvanthel_tools.mcp_proxy.interceptor import Interceptor, ServerIdentity
from korvanthel_tools.mcp_proxy.stdio import client_line, server_line
from policies import guard_policy_json
from proxy_support import TIMEOUT, environment, process_gone, proxy_argv, raw_proxy, recorded, stdio_server, wait_for

IDS = st.one_of(st.integers(0, 3), st.sampled_from(["a", "b", None, 1.5, True, [1], {"k": 1}]))
CALLS = st.sampled_from([
    ("read_file", {"path": "notes.txt"}),
    ("shell", {"cmd": "rm -rf /"}),
    ("read_file", {"path": "/etc/passwd"}),
    ("upload", {"url": "https://x", "token": "T0KEN-VALUE"}),
])
TEXTS = st.sampled_from(["plain", "user PASSWORD=hunter2", "SECRET inside"])


def _call(request_id: Any, call: tuple[str, dict[str, Any]], notification: bool) -> dict[str, Any]:
    message: dict[str, Any] = {"jsonrpc": "2.0", "method": "tools/call", "params": {"name": call[0], "arguments": call[1]}}
    if not notification:
        message["id"] = request_id
    return message


CLIENT = st.one_of(
    st.tuples(st.just("call"), IDS, CALLS, st.booleans(), st.booleans()),
    st.tuples(st.just("cancel"), IDS),
    st.tuples(st.just("garbage"), st.sampled_from([b"{", b"[]", b"42", b'{"method": 5, "id": 1}', b"\xff"])),
)
SERVER = st.tuples(
    st.just("answer"), IDS, TEXTS,
    st.sampled_from(["result", "error", "both", "with-method", "batch", "not-object", "incomplete"]),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.one_of(CLIENT, SERVER), max_size=40))
def test_nothing_undecided_crosses(steps: list[tuple[Any, ...]]) -> None:
    guard = Guard.from_json(guard_policy_json())
    judged: list[str] = []
    check_result = guard.check_result

    def recording_check_result(tool: str, text: str, *args: Any, **kwargs: Any) -> Any:
        judged.append(text)
        return check_result(tool, text, *args, **kwargs)

    guard.check_result = recording_check_result  # type: ignore[method-assign]
    interceptor = Interceptor(guard, ServerIdentity("model"), session="s", max_pending=3)
    at_server: list[dict[str, Any]] = []
    at_client: list[Any] = []
    serial = 0
    for step in steps:
        if step[0] == "answer":
            _, request_id, text, shape = step
            serial += 1
            text = f"{text} #{serial}"
            result = {"content": [{"type": "text", "text": text}], "isError": False}
            message: Any = {"jsonrpc": "2.0", "id": request_id, "result": result}
            if shape == "error":
                message = {"jsonrpc": "2.0", "id": request_id, "error": {"code": -1, "message": text}}
            elif shape == "both":
                message["error"] = {"code": -1, "message": "x"}
            elif shape == "with-method":
                message["method"] = "notifications/message"
            elif shape == "batch":
                message = [message, {"jsonrpc": "2.0", "method": "notifications/progress", "params": {}}]
            elif shape == "not-object":
                message["result"] = [text]
            elif shape == "incomplete":
                result["resultType"] = "input_required"
            out = server_line(interceptor, json.dumps(message).encode())
            if out is not None:
                at_client.append(json.loads(out))
            continue
        if step[0] == "call":
            _, request_id, call, notification, batch = step
            message = _call(request_id, call, notification)
            line = json.dumps([message] if batch else message).encode()
        elif step[0] == "cancel":
            line = json.dumps({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": step[1]}}).encode()
        else:
            line = step[1]
        to_server, to_client = client_line(interceptor, line)
        at_server += [json.loads(item) for item in to_server]
        at_client += [json.loads(item) for item in to_client]

    # Towards the server: only decided calls, with what was redacted replaced,
    # and only ids that cannot be confused.
    for message in at_server:
        if message.get("method") == "tools/call":
            name, arguments = message["params"]["name"], message["params"]["arguments"]
            assert name != "shell" and not str(arguments.get("path", "")).startswith("/etc/")
            assert "T0KEN-VALUE" not in json.dumps(arguments)
            assert "id" not in message or type(message["id"]) in (int, str)
    # Towards the client: every text of a result was judged, and nothing the
    # policy redacts is there.
    for item in at_client:
        for message in item if isinstance(item, list) else [item]:
            assert "PASSWORD=" not in json.dumps(message)
            result = message.get("result")
            if isinstance(result, dict) and "#" in json.dumps(result):
                blocks = cast("list[dict[str, Any]]", result.get("content", []))
                for block in blocks:
                    assert block["text"] in judged
            error = message.get("error")
            if isinstance(error, dict) and "#" in str(error.get("message")):
                assert error["message"] in judged


def test_denied_notification_reused_id_and_cancelled_call(policy: Path, record: Path) -> None:
    with raw_proxy(policy, record) as proxy:
        proxy.initialize()
        # A denied call sent as a notification never arrives.
        proxy.send({"jsonrpc": "2.0", "method": "tools/call", "params": {"name": "shell", "arguments": {"cmd": "id"}}})
        # A call in flight whose id is then reused: the second is refused, the
        # first's result is still redacted.
        proxy.send({"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                    "params": {"name": "gather", "arguments": {"count": 2, "tag": "PASSWORD=one"}}})
        wait_for(lambda: len(recorded(record)) == 1, "the first call to arrive")
        proxy.send({"jsonrpc": "2.0", "id": 7, "method": "tools/call",
                    "params": {"name": "read_file", "arguments": {"path": "notes.txt"}}})
        refused = proxy.receive()
        assert refused["id"] == 7 and refused["error"]["code"] == -32600
        proxy.send({"jsonrpc": "2.0", "id": 8, "method": "tools/call",
                    "params": {"name": "gather", "arguments": {"count": 2, "tag": "PASSWORD=two"}}})
        answers = [proxy.receive(), proxy.receive()]
        # A cancelled call stays tracked until its result comes (the server
        # may answer anyway), so its id cannot be taken over meanwhile.
        proxy.send({"jsonrpc": "2.0", "id": 9, "method": "tools/call", "params": {"name": "hang", "arguments": {}}})
        wait_for(lambda: len(recorded(record)) == 3, "the hanging call to arrive")
        proxy.send({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 9}})
        proxy.send({"jsonrpc": "2.0", "id": 9, "method": "tools/call",
                    "params": {"name": "read_file", "arguments": {"path": "creds.txt"}}})
        assert proxy.receive()["error"]["code"] == -32600
        status, out, err = proxy.finish()
    assert sorted(answer["id"] for answer in answers) == [7, 8]
    for answer in answers:
        assert answer["result"]["content"] == [{"type": "text", "text": "[redacted: credentials in tool output]"}]
    assert "PASSWORD=" not in out
    assert [call["tool"] for call in recorded(record)] == ["gather", "gather", "hang"]
    assert status == 0 and "Traceback" not in err


def _run(policy: Path, record: Path, stdin: Any, stdout: Any = subprocess.PIPE) -> tuple[int, str]:
    process = subprocess.run(
        proxy_argv(policy, server=stdio_server()), stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
        env=environment(record), timeout=TIMEOUT,
    )
    return process.returncode, process.stderr.decode()


def test_empty_closed_and_file_streams_end_cleanly(policy: Path, record: Path, tmp_path: Path) -> None:
    requests = tmp_path / "requests.jsonl"
    requests.write_text(
        json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "file", "version": "1"}}}) + "\n"
        + json.dumps({"jsonrpc": "2.0", "method": "notifications/initialized"}) + "\n"
        + json.dumps({"jsonrpc": "2.0", "id": 2, "method": "tools/call",
                      "params": {"name": "read_file", "arguments": {"path": "notes.txt"}}}) + "\n"
    )
    # Standard input /dev/null: the proxy ends at once, with status 0, and
    # its server (which writes its process id first) is gone.
    pid_file = tmp_path / "server.pid"
    server = ["sh", "-c", f'echo $$ > {pid_file}; exec "$@"', "sh", *stdio_server()]
    with open(os.devnull, "rb") as null:
        process = subprocess.run(proxy_argv(policy, server=server), stdin=null, capture_output=True,
                                 env=environment(record), timeout=TIMEOUT)
    assert process.returncode == 0 and b"Traceback" not in process.stderr
    assert process_gone(int(pid_file.read_text()))
    # Regular files as both streams: the answers land in the file.
    output = tmp_path / "answers.jsonl"
    with requests.open("rb") as source, output.open("wb") as sink:
        status, err = _run(policy, record, source, sink)
    assert status == 0 and "Traceback" not in err, err
    # The input ends before the calls are answered: the server's input stays
    # open until both answers are in.
    lines = [json.loads(line) for line in output.read_text().splitlines()]
    assert sorted(line["id"] for line in lines) == [1, 2] and all("result" in line for line in lines), lines
    # Every server the proxies started is gone.
    for call in recorded(record):
        wait_for(lambda pid=call["pid"]: process_gone(pid), "the server to stop")


def test_closed_standard_input_descriptor(policy: Path, record: Path) -> None:
    code = (
        "import os, sys, subprocess\n"
        "os.close(0)\n"
        f"sys.exit(subprocess.run({proxy_argv(policy, server=stdio_server())!r}, stdin=None, close_fds=True).returncode)\n"
    )
    process = subprocess.run([sys.executable, "-c", code], stdin=subprocess.DEVNULL, capture_output=True,
                             env=environment(record), timeout=TIMEOUT)
    assert process.returncode == 0 and b"Traceback" not in process.stderr, process.stderr


def test_terminal_as_standard_streams(policy: Path, record: Path) -> None:
    import pty
    import select
    import termios

    master, slave = pty.openpty()
    attributes = termios.tcgetattr(slave)
    attributes[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    process = subprocess.Popen(proxy_argv(policy, server=stdio_server()), stdin=slave, stdout=slave,
                               stderr=subprocess.PIPE, env=environment(record))
    os.close(slave)
    try:
        os.write(master, json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "tty", "version": "1"}}}).encode() + b"\n")
        answer: list[bytes] = []

        def answered() -> bool:
            if select.select([master], [], [], 0.1)[0]:
                answer.append(os.read(master, 65536))
            return b"\n" in b"".join(answer)

        wait_for(answered, "the answer on the terminal")
        assert json.loads(b"".join(answer).splitlines()[0])["id"] == 1
        os.write(master, b"\x04")  # end of input on a terminal
        assert process.wait(timeout=TIMEOUT) == 0
        assert process.stderr is not None and b"Traceback" not in process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(timeout=TIMEOUT)
        if process.stderr is not None:
            process.stderr.close()
        os.close(master)
