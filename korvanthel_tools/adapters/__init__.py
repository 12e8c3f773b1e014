"""Guards for agent frameworks, built on the shared guard core
(``korvanthel_tools.guarding``): one policy guards an agent whichever way
its tools arrive.

- ``korvanthel_tools.adapters.openai_agents``: tool input and output
  guardrails for the OpenAI Agents SDK, and ``guard_agent`` to attach both
  to every function tool of an agent (extra ``korvanthel[openai-agents]``).
- ``korvanthel_tools.adapters.langchain``: ``PolicyMiddleware``, agent
  middleware for LangChain's ``create_agent`` (extra ``korvanthel[langchain]``).
- ``korvanthel_tools.adapters.langchain_mcp``: ``PolicyInterceptor``, a tool
  interceptor for tools loaded through ``langchain-mcp-adapters`` (extra
  ``korvanthel[langchain-mcp]``).

Each framework is imported only by its own module, so importing this
package needs none of them; importing an adapter whose framework is missing
raises ``ImportError`` naming the extra to install.

Events are those of the MCP proxy: a call is a ``tool_call`` event with the
fields ``tool`` and ``arguments`` (plus ``session``, ``run``,
``conversation``, ``call_id``, ``agent``, ``server`` where the framework
knows them) evaluated before the tool runs; its output is a ``tool_result``
event with ``tool``, ``arguments``, ``text`` and ``is_error`` evaluated
before the model sees it. Verdicts act as they do in the proxy: ``deny``
keeps the tool from running (or its output from the model) and hands the
model the policy's reason instead; ``audit`` lets it through and reports;
``redact`` replaces the output with a placeholder naming the reason.

State (rate-limit windows, state machines) lives in one engine per key.
Every adapter takes ``scope``: ``"process"`` (one engine for everything),
``"run"`` (one per agent run), the framework's conversation
(``"conversation"``: the Agents SDK's ``group_id``; ``"thread"``: a
LangGraph ``thread_id``), or a function of the framework's request that
returns the key. See each module for what identifies a run.
"""

from __future__ import annotations

from korvanthel_tools.adapters.denied import PolicyDenied
from korvanthel_tools.adapters.policy import PolicyLike, as_guard

__all__ = ["PolicyDenied", "PolicyLike", "as_guard"]
