"""An MCP server with the tools of the README's quick start, written with
the SDK: ``shell(command)`` (it only pretends) and ``ls(path)``.

    python shell_server.py stdio
    python shell_server.py http PORT

Every call is recorded (server_support.record), so a test can tell which
calls reached the server.
"""

from __future__ import annotations

from mcp.server.mcpserver import MCPServer

from server_support import record, serve

server = MCPServer("shell-server")


@server.tool()
def shell(command: str) -> str:
    """Pretend to run a shell command."""
    record("shell", {"command": command})
    return f"ran {command}"


if __name__ == "__main__":
    serve(server)
