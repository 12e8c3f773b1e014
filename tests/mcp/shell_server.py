"""An MCP server with the tools of the README's quick start, written with
the SDK: ``shell(command)`` (it only pretends) and ``ls(path)``.

    python shell_server.py stdio
    python shell_server.py http PORT

Every call is appended as a JSON line to the file named by
TOOL_SERVER_RECORD, so a test can tell which calls reached the server.
"""

from __future__ import annotations

import json
import os
import sys

from mcp.server.mcpserver import MCPServer

server = MCPServer("shell-server")


def record(tool: str, command: str) -> None:
    path = os.environ.get("TOOL_SERVER_RECORD")
    if path:
        with open(path, "a", encoding="utf-8") as handle:
            handle.write(json.dumps({"tool": tool, "arguments": {"command": command}}) + "\n")


@server.tool()
def shell(command: str) -> str:
    """Pretend to run a shell command."""
    record("shell", command)
    return f"ran {command}"


def main() -> None:
    if sys.argv[1:2] == ["http"]:
        server.run("streamable-http", host="127.0.0.1", port=int(sys.argv[2]))
    else:
        server.run("stdio")


if __name__ == "__main__":
    main()
