"""What the test servers (tool_server.py, shell_server.py) share: the
record of the calls that reached them and the choice of transport from
their command line.

    python SERVER.py stdio
    python SERVER.py http PORT
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any

from mcp.server.mcpserver import MCPServer


def record(tool: str, arguments: dict[str, Any]) -> None:
    """Append the call as a JSON line to the file named by
    TOOL_SERVER_RECORD (when set), the moment it arrives."""
    path = os.environ.get("TOOL_SERVER_RECORD")
    if path:
        with open(path, "a", encoding="utf-8") as handle:
            handle.write(json.dumps({"tool": tool, "arguments": arguments, "pid": os.getpid()}) + "\n")


def serve(server: MCPServer) -> None:
    """Run ``server`` over Streamable HTTP on the loopback port given after
    ``http``, or else over standard input and output."""
    if sys.argv[1:2] == ["http"]:
        server.run("streamable-http", host="127.0.0.1", port=int(sys.argv[2]))
    else:
        server.run("stdio")
