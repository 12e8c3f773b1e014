"""The guard core shared by every integration (the MCP proxy, the
agent-framework adapters): how tool calls and results become events
(``mapping``), where engine state lives (``state_store``: memory;
``redis_store``: Redis; ``engines``: the engines of a guard given them), the
``Guard`` (``guard``) and the decisions it returns (``decision``), the
decision log (``decision_log``) and OpenTelemetry (``telemetry``,
optional). Nothing optional is imported here.
"""

from korvanthel_tools.guarding.decision import Decision, violation_texts
from korvanthel_tools.guarding.decision_log import DecisionLog
from korvanthel_tools.guarding.engines import EngineStore
from korvanthel_tools.guarding.guard import Guard, make_state_store
from korvanthel_tools.guarding.mapping import (
    TOOL_CALL,
    TOOL_RESULT,
    join_text,
    tool_call_fields,
    tool_result_fields,
)
from korvanthel_tools.guarding.policy_source import PolicyLoadError, PolicySource
from korvanthel_tools.guarding.redaction import placeholder, redact_arguments, tagged_arguments
from korvanthel_tools.guarding.redis_store import RedisStateStore
from korvanthel_tools.guarding.state_store import MemoryStateStore, StateOutcome, StateScope, StateStore
from korvanthel_tools.guarding.telemetry import Telemetry

__all__ = [
    "TOOL_CALL",
    "TOOL_RESULT",
    "Decision",
    "DecisionLog",
    "EngineStore",
    "Guard",
    "MemoryStateStore",
    "PolicyLoadError",
    "PolicySource",
    "RedisStateStore",
    "StateOutcome",
    "StateScope",
    "StateStore",
    "Telemetry",
    "join_text",
    "make_state_store",
    "placeholder",
    "redact_arguments",
    "tagged_arguments",
    "tool_call_fields",
    "tool_result_fields",
    "violation_texts",
]
