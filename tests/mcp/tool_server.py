"""A small MCP server for the proxy tests, written with the SDK.

    python tool_server.py stdio
    python tool_server.py http PORT

Tools: read_file, upload, shell (ordinary tools); crash (the process dies
mid-call); babble (writes garbage on its output); hang (never answers); gather (answers once N calls are in
flight at the same time, proving that they were concurrent). Every call is
recorded (server_support.record) the moment it arrives, so a test can tell
which calls reached the server.
"""

from __future__ import annotations

import os

import anyio
from mcp.server.mcpserver import MCPServer

from server_support import record, serve

FILES = {
    "notes.txt": "meeting at noon",
    "secrets.env": "API_KEY=SECRET-1234",
    "creds.txt": "user=alice PASSWORD=hunter2",
}

server = MCPServer("record-server")
# The protocol stream, taken before the SDK moves standard output aside.
WIRE = os.dup(1)
_in_flight = 0
_gathered = anyio.Event()


@server.tool()
def read_file(path: str) -> str:
    """Return a file's content."""
    record("read_file", {"path": path})
    if path not in FILES:
        raise ValueError(f"no such file: {path}")
    return FILES[path]


@server.tool()
def upload(url: str, data: str = "", token: str | None = None, headers: dict[str, str] | None = None) -> str:
    """Pretend to upload data."""
    record("upload", {"url": url, "data": data, "token": token, "headers": headers})
    return f"uploaded {len(data)} bytes to {url} (token {token}, headers {headers})"


@server.tool()
def shell(cmd: str) -> str:
    """Pretend to run a command."""
    record("shell", {"cmd": cmd})
    return f"ran {cmd}"


@server.tool()
def crash() -> str:
    """Die in the middle of the call."""
    record("crash", {})
    os._exit(3)


@server.tool()
def babble() -> str:
    """Write lines that are not JSON-RPC onto the protocol stream, then answer."""
    record("babble", {})
    os.write(WIRE, b"this is not JSON\n[1, 2\n\n")
    return "said something"


@server.tool()
async def hang() -> str:
    """Never answer."""
    record("hang", {})
    await anyio.Event().wait()
    return "unreachable"


@server.tool()
async def gather(count: int, tag: str) -> str:
    """Answer once ``count`` calls of gather are running at once."""
    global _in_flight, _gathered
    record("gather", {"count": count, "tag": tag})
    _in_flight += 1
    if _in_flight >= count:
        _gathered.set()
    with anyio.fail_after(20):
        await _gathered.wait()
    return f"gathered {tag}"


if __name__ == "__main__":
    serve(server)
