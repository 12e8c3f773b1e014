"""Who may call the HTTP proxy, and how much: origin and host checks, the
proxy's token, TLS, body and session bounds, and what the logs keep. Real
HTTP clients against ``korvanthel mcp-proxy --listen`` on loopback, in front
of the SDK tool server."""

from __future__ import annotations

import datetime
import json
import os
import socket
import ssl
import subprocess
import uuid
from pathlib import Path
from typing import Any

import httpx2
import pytest

from proxy_support import TIMEOUT, environment, http_proxy, http_tool_server, proxy_argv, recorded
from test_proxy_http import call, headers

pytestmark = pytest.mark.anyio

TOKEN = "proxy-token-0123456789abcdef"


def post(url: str, message: dict[str, Any] | None = None, *, extra: dict[str, str] | None = None,
         content: bytes | None = None, client: httpx2.Client | None = None) -> httpx2.Response:
    body = content if content is not None else json.dumps(message).encode()
    tool = message["params"]["name"] if message is not None and "params" in message else "read_file"
    sender = client or httpx2.Client(timeout=TIMEOUT)
    try:
        return sender.post(url, content=body, headers={**headers(tool), "content-type": "application/json",
                                                       **(extra or {})})
    finally:
        if client is None:
            sender.close()


READ = call("read_file", {"path": "notes.txt"})


def legacy_call(url: str, tool: str, arguments: dict[str, Any], extra: dict[str, str]) -> str:
    """A tools/call in a session of the handshake revisions, whose answer
    comes as an event stream; the stream's text."""
    base = {"accept": "application/json, text/event-stream", "content-type": "application/json", **extra}
    with httpx2.Client(timeout=TIMEOUT) as client:
        started = client.post(url, headers=base, content=json.dumps({
            "jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {
                "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "legacy", "version": "1"}}}))
        session = {**base, "mcp-session-id": started.headers["mcp-session-id"], "mcp-protocol-version": "2025-06-18"}
        client.post(url, headers=session, content=b'{"jsonrpc": "2.0", "method": "notifications/initialized"}')
        answer = client.post(url, headers=session, content=json.dumps({
            "jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": tool, "arguments": arguments}}))
        assert answer.headers["content-type"].startswith("text/event-stream"), answer.headers
        return answer.text

# (request headers, expected status) at a loopback listener given
# --allow-host app.internal. (The proxy forwards Origin, so the rows that
# pass use origins the tool server accepts as well.)
ORIGINS: list[tuple[dict[str, str], int]] = [
    ({"origin": "http://evil.example"}, 403),
    ({"origin": "null"}, 403),
    ({"origin": "http://127.0.0.1.evil.example"}, 403),
    ({"host": "evil.example"}, 421),
    ({"host": "evil.example:80", "origin": "http://localhost:3000"}, 421),
    ({}, 200),
    ({"origin": "http://localhost:3000"}, 200),
    ({"host": "app.internal:9999"}, 200),
]


@pytest.mark.parametrize(("listen", "origin", "allowed"), [
    ("127.0.0.1", "http://localhost:3000", True),
    ("127.0.0.1", "https://127.0.0.5", True),
    ("127.0.0.1", "http://[::1]:8080", True),
    ("127.0.0.1", "file://localhost", False),
    ("127.0.0.1", "https://other.example", False),
    ("127.0.0.1", "https://APP.example:443", True),  # given with --allow-origin
    ("127.0.0.1", "https://app.example:444", False),
    ("10.0.0.5", "http://localhost:3000", False),  # a loopback origin is no one's origin here
    ("10.0.0.5", "https://app.example", True),
])
def test_origin_table(listen: str, origin: str, allowed: bool) -> None:
    from korvanthel_tools.mcp_proxy.access import Access

    access = Access(listen, ["https://app.example"], [], None)
    refusal = access.check({"origin": origin, "host": listen})
    assert (refusal is None) is allowed, refusal


def test_origin_and_host_are_checked_before_anything_is_relayed(policy: Path, record: Path) -> None:
    options = ("--allow-host", "app.internal")
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record, *options) as proxy:
        for number, (extra, status) in enumerate(ORIGINS):
            before = len(recorded(record))
            response = post(proxy.url, call("read_file", {"path": "notes.txt"}, number), extra=extra)
            assert response.status_code == status, (extra, response.text)
            assert len(recorded(record)) == before + (status == 200), extra
            if status != 200:
                body = response.json()
                assert body["jsonrpc"] == "2.0" and body["id"] is None and body["error"]["code"] == -32600
    text = b"".join(proxy.errors).decode()
    assert "refused a request from 127.0.0.1:" in text and "Traceback" not in text


def _token_file(tmp_path: Path, mode: int = 0o600) -> Path:
    path = tmp_path / "token"
    path.write_text(TOKEN + "\n")
    path.chmod(mode)
    return path


def _start_fails(policy: Path, record: Path, *options: str) -> str:
    process = subprocess.run(proxy_argv(policy, *options, "--upstream", "http://127.0.0.1:9/mcp"),
                             capture_output=True, env=environment(record), timeout=TIMEOUT)
    assert process.returncode == 2 and process.stdout == b""
    return process.stderr.decode()


def test_non_loopback_listener_needs_a_token(policy: Path, record: Path, tmp_path: Path) -> None:
    err = _start_fails(policy, record, "--listen", "0.0.0.0:0")
    assert "is not a loopback address" in err and "--auth-token-file FILE" in err and "--no-auth" in err
    loose = _token_file(tmp_path, 0o644)
    err = _start_fails(policy, record, "--listen", "0.0.0.0:0", "--auth-token-file", str(loose))
    assert f"permissions 0644 let others read or change the token; chmod 600 {loose}" in err
    short = tmp_path / "short"
    short.write_text("abc")
    short.chmod(0o600)
    assert "at least 16 printable" in _start_fails(policy, record, "--listen", "127.0.0.1:0", "--auth-token-file", str(short))


def test_token_is_required_kept_apart_and_never_logged(policy: Path, record: Path, tmp_path: Path) -> None:
    log = tmp_path / "decisions.jsonl"
    options = ("--auth-token-file", str(_token_file(tmp_path)), "--decision-log", str(log), "--mask", "/arguments/data")
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record, *options) as proxy:
        missing = post(proxy.url, READ)
        assert missing.status_code == 401 and missing.headers["www-authenticate"].startswith("Bearer")
        wrong = post(proxy.url, READ, extra={"authorization": "Bearer " + "x" * len(TOKEN)})
        assert wrong.status_code == 401
        assert recorded(record) == []
        assert post(proxy.url, READ, extra={"authorization": f"Bearer {TOKEN}"}).status_code == 200
        # The client's own credentials for the upstream go on; the proxy's
        # token travels apart and is never forwarded. A call that quotes
        # either, or a masked value, does not put it in the log.
        upload = call("upload", {"url": "https://x", "data": "masked-value-42 " + TOKEN,
                                 "headers": {"x": "client-credential-7"}})
        response = post(proxy.url, upload, extra={
            "proxy-authorization": f"Bearer {TOKEN}", "authorization": "Bearer client-credential-7"})
        assert response.status_code == 200, response.text
        # Results judged while an event stream is relayed name the client too.
        streamed = legacy_call(proxy.url, "read_file", {"path": "creds.txt"}, {"proxy-authorization": f"Bearer {TOKEN}"})
        assert "[redacted: credentials in tool output]" in streamed and "hunter2" not in streamed
    arrived = recorded(record)
    assert [item["tool"] for item in arrived] == ["read_file", "upload", "read_file"]
    text = log.read_text()
    assert TOKEN not in text and "client-credential-7" not in text and "masked-value-42" not in text
    lines = [json.loads(line) for line in text.splitlines()]
    assert {line["client_address"].split(":")[0] for line in lines} == {"127.0.0.1"}
    assert [line["event_type"] for line in lines][-2:] == ["tool_call", "tool_result"]
    assert lines[-3]["fields"]["arguments"]["headers"] == {"x": "[masked]"}


def _self_signed(tmp_path: Path) -> tuple[Path, Path]:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID
    import ipaddress

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)
            .sign(key, hashes.SHA256()))
    cert_path, key_path = tmp_path / "cert.pem", tmp_path / "key.pem"
    cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    key_path.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    key_path.chmod(0o600)
    return cert_path, key_path


def test_tls_on_loopback(policy: Path, record: Path, tmp_path: Path) -> None:
    cert, key = _self_signed(tmp_path)
    with http_tool_server(record) as upstream, \
            http_proxy(policy, upstream, record, "--tls-cert", str(cert), "--tls-key", str(key)) as proxy:
        assert proxy.url.startswith("https://127.0.0.1:")
        with httpx2.Client(timeout=TIMEOUT, verify=ssl.create_default_context(cafile=str(cert))) as client:
            response = post(proxy.url, READ, client=client)
        assert response.status_code == 200 and "meeting at noon" in response.text
        with httpx2.Client(timeout=TIMEOUT) as client, pytest.raises(httpx2.ConnectError):
            post(proxy.url, READ, client=client)  # not trusted without the certificate
        with pytest.raises(httpx2.HTTPError):
            post(proxy.url.replace("https://", "http://"), READ)


def _resident_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


def test_hostile_requests_are_bounded(policy: Path, record: Path) -> None:
    limit = 64 * 1024
    options = ("--max-body", str(limit), "--max-sessions", "32")
    with http_tool_server(record) as upstream, http_proxy(policy, upstream, record, *options) as proxy:
        with httpx2.Client(timeout=TIMEOUT) as client:
            assert post(proxy.url, READ, client=client).status_code == 200
            # A request head over the listener's bound (64 KiB) is refused.
            host, port = proxy.url.split("//")[1].split("/")[0].rsplit(":", 1)
            with socket.create_connection((host, int(port)), timeout=TIMEOUT) as raw:
                raw.sendall(b"POST /mcp HTTP/1.1\r\nhost: 127.0.0.1\r\nx-pad: " + b"a" * 70000 + b"\r\n\r\n")
                assert raw.recv(64).startswith(b"HTTP/1.1 400 ")
            before = _resident_kib(proxy.process.pid)
            for round_ in range(3):
                # A body over the bound, declared and streamed without a length.
                big = post(proxy.url, content=b" " * (limit + 1), client=client)
                assert big.status_code == 413 and big.json()["error"]["message"] == f"Request body larger than {limit} bytes"

                def chunks() -> Any:
                    for _ in range(4):
                        yield b" " * (limit // 2)

                streamed = client.post(proxy.url, content=chunks(), headers={**headers("x"), "content-type": "application/json"})
                assert streamed.status_code == 413
                # Sessions a client makes up, and deep or wide JSON within the bound.
                for _ in range(200):
                    post(proxy.url, READ, extra={"mcp-session-id": uuid.uuid4().hex}, client=client)
                assert post(proxy.url, content=b"[" * 30000 + b"]" * 30000, client=client).status_code == 400
                many = [call("read_file", {"path": "notes.txt"}, n) for n in range(300)]
                post(proxy.url, content=json.dumps(many).encode(), client=client)
                if round_ == 0:
                    after_first = _resident_kib(proxy.process.pid)
            after = _resident_kib(proxy.process.pid)
        assert proxy.process.poll() is None
    # Whatever the first round made the proxy keep, later rounds add nothing
    # that grows with them.
    assert after - before < 64 * 1024, (before, after_first, after)
    assert after - after_first < 16 * 1024, (before, after_first, after)
    assert all(item["tool"] == "read_file" for item in recorded(record))


def test_upstream_read_timeout_is_reported(policy: Path, record: Path) -> None:
    with http_tool_server(record) as upstream, \
            http_proxy(policy, upstream, record, "--read-timeout", "0.5") as proxy:
        response = post(proxy.url, call("hang", {}))
        assert response.status_code == 504
        assert response.json()["error"] == {
            "code": -32603, "message": "the MCP server did not answer within 0.5 seconds (--read-timeout)"}
        assert response.json()["id"] == 1
        assert proxy.process.poll() is None
