"""The policy the adapter tests enforce, and helpers shared by them.

Not a conftest.py: other suites run in the same pytest process have their
own, and two modules named ``conftest`` would shadow each other."""

from __future__ import annotations

import json
import threading
from typing import Any

from _korvanthel_core import PolicyEngine
from korvanthel_tools.guarding import EngineStore, Guard, PolicySource, Telemetry


def ref(*path: str) -> dict[str, Any]:
    return {"Ref": {"root": "Event", "fields": list(path)}}


def text(value: str) -> dict[str, Any]:
    return {"Literal": {"String": value}}


def equals(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "Eq", "left": left, "right": right}}


def contains(subject: dict[str, Any], needle: str) -> dict[str, Any]:
    return {"Predicate": {"kind": "Contains", "subject": subject, "argument": text(needle)}}


def both(left: dict[str, Any], right: dict[str, Any]) -> dict[str, Any]:
    return {"Binary": {"op": "And", "left": left, "right": right}}


def tool_is(name: str) -> dict[str, Any]:
    return equals(ref("tool"), text(name))


def rule(rule_id: int, event: str, condition: dict[str, Any], verdict: str, message: str,
         actions: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    return {"id": rule_id, "on_events": [event], "condition": condition,
            "verdicts": [{"verdict": verdict, "message": text(message)}], "actions": actions or []}


RM_REASON = "recursive deletes are not allowed"
FETCH_REASON = "fetches are audited"
LEAK_REASON = "credentials in tool output"
LOGIN_REASON = "passwords stay out of tool calls"
EXFIL_INVARIANT = "no_upload_after_secret"  # named in the reason of its violation

# shell with "rm -rf" is denied; fetch is audited; a read_file result that
# mentions a password is redacted; login's password argument is redacted;
# a result carrying SECRET taints the session, and an upload after that
# violates an invariant.
POLICY: dict[str, Any] = {
    "name": "adapters-test",
    "severity": "High",
    "scopes": ["agent"],
    "rules": [
        rule(1, "tool_call", both(tool_is("shell"), contains(ref("arguments", "command"), "rm -rf")), "Deny", RM_REASON),
        rule(2, "tool_call", tool_is("fetch"), "Audit", FETCH_REASON),
        rule(3, "tool_result", both(tool_is("read_file"), contains(ref("text"), "password")), "Redact", LEAK_REASON),
        rule(4, "tool_call", tool_is("login"), "Redact", LOGIN_REASON,
             [{"verb": "Tag", "args": [["redact", text("password")]]}]),
    ],
    "constraints": [],
    "state_machines": [{
        "id": 1, "name": "exfiltration", "invariant_name": "no_upload_after_secret", "kind": "Never",
        "states": [
            {"id": 0, "label": "clean", "kind": "Active"},
            {"id": 1, "label": "tainted", "kind": "Active"},
            {"id": 2, "label": "leaked", "kind": "Violated"},
        ],
        "transitions": [
            {"from": 0, "to": 1, "guard": {"Predicate": contains(ref("text"), "SECRET")}},
            {"from": 1, "to": 2, "guard": {"Predicate": tool_is("upload")}},
        ],
        "initial_state": 0, "accepting_states": [], "violating_states": [2],
    }],
    "metadata": {"annotations": [], "source_hash": 21, "compiler_version": "test"},
}

POLICY_JSON = json.dumps(POLICY)


def make_guard(**options: Any) -> Guard:
    return Guard.from_json(POLICY_JSON, **options)


class LoadRecorder:
    """A guard whose engines are made by a factory that records the thread
    each policy load ran on."""

    def __init__(self, **options: Any) -> None:
        self.source = PolicySource.from_json(POLICY_JSON)
        self.threads: list[threading.Thread] = []
        self.guard = Guard(self.source, engines=EngineStore(self._load), **options)

    def _load(self) -> PolicyEngine:
        self.threads.append(threading.current_thread())
        return self.source.new_engine()

    def loaded_off(self, thread: threading.Thread) -> bool:
        """True when there were loads and none ran on ``thread``."""
        return bool(self.threads) and all(t is not thread for t in self.threads)


class SpanRecorder:
    """OpenTelemetry's SDK with an in-memory exporter, and a ``Telemetry``
    that records into it."""

    def __init__(self) -> None:
        from opentelemetry.sdk import trace as sdk_trace
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor
        from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

        self.exporter = InMemorySpanExporter()
        self.provider = sdk_trace.TracerProvider()
        self.provider.add_span_processor(SimpleSpanProcessor(self.exporter))
        self.telemetry = Telemetry.create(tracer_provider=self.provider)
        self.tracer = self.provider.get_tracer("adapter-tests")

    def guard_spans(self, parent_name: str) -> list[tuple[str, str, str]]:
        """(tool, decision type, event type) of each guard span, after
        checking that it is a child of the span named ``parent_name``."""
        spans = self.exporter.get_finished_spans()
        (parent,) = [span for span in spans if span.name == parent_name]
        guard = [span for span in spans if span.name.startswith("apply_guardrail")]
        assert all(span.parent is not None and span.parent.span_id == parent.context.span_id for span in guard)
        found = []
        for span in guard:
            attributes = dict(span.attributes or {})
            found.append((str(attributes["gen_ai.tool.name"]), str(attributes["gen_ai.security.decision.type"]),
                          str(attributes["korvanthel.event.type"])))
        return found
