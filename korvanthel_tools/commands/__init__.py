"""The ``korvanthel`` command and its subcommands.

``cli`` is the entry point (``main``): it builds the argument parser and
holds ``pack``, ``inspect`` and ``replay``; each other module adds its own
subcommands to that parser: ``language`` (``compile``, ``format``,
``check``, ``decompile``), ``explain`` and ``policy_tests`` (``test``).
``korvanthel mcp-proxy`` lives with the proxy, in
``korvanthel_tools.mcp_proxy.command``. The work itself is done by the
library modules these call; nothing is imported here.
"""
