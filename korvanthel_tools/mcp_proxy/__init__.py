"""``korvanthel mcp-proxy``: a guard between any MCP client and any MCP
server, over stdio (``stdio``) or Streamable HTTP (``http``). The message
logic both share is in ``interceptor``; the guard itself is
``korvanthel_tools.guarding``. The HTTP relay needs the ``mcp`` extra
(its web server and HTTP client); nothing here imports it at module level.
"""
