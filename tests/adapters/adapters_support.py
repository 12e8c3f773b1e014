"""The policy the adapter tests enforce, and helpers shared by them.

Not a conftest.py: other suites run in the same pytest process have their
own, and two modules named ``conftest`` would shadow each other."""

from __future__ import annotations

import json
import threading
from typing import Any

from _korvanthel_core import PolicyEngine
from korvanthel_tools import policy_json as pj
from korvanthel_tools.guarding import EngineStore, Guard, PolicySource, Telemetry
from korvanthel_tools.policy_json import Json, binary, event, predicate, text


def contains(subject: Json, needle: str) -> Json:
    return predicate("Contains", subject, text(needle))


def both(left: Json, right: Json) -> Json:
    return binary("And", left, right)


def tool_is(name: str) -> Json:
    return binary("Eq", event("tool"), text(name))


def rule(rule_id: int, on_event: str, condition: Json, verdict: str, message: str,
         actions: list[Json] | None = None) -> Json:
    return pj.rule(rule_id, [on_event], condition, [pj.verdict(verdict, message)], actions or [])


RM_REASON = "recursive deletes are not allowed"
FETCH_REASON = "fetches are audited"
LEAK_REASON = "credentials in tool output"
LOGIN_REASON = "passwords stay out of tool calls"
EXFIL_INVARIANT = "no_upload_after_secret"  # named in the reason of its violation

# shell with "rm -rf" is denied; fetch is audited; a read_file result that
# mentions a password is redacted; login's password argument is redacted;
# a result carrying SECRET taints the session, and an upload after that
# violates an invariant.
POLICY: Json = pj.policy(
    "adapters-test",
    rules=[
        rule(1, "tool_call", both(tool_is("shell"), contains(event("arguments", "command"), "rm -rf")), "Deny", RM_REASON),
        rule(2, "tool_call", tool_is("fetch"), "Audit", FETCH_REASON),
        rule(3, "tool_result", both(tool_is("read_file"), contains(event("text"), "password")), "Redact", LEAK_REASON),
        rule(4, "tool_call", tool_is("login"), "Redact", LOGIN_REASON, [pj.action("Tag", redact=text("password"))]),
    ],
    state_machines=[pj.state_machine(
        1, "exfiltration", EXFIL_INVARIANT, "Never",
        [pj.state(0, "clean"), pj.state(1, "tainted"), pj.state(2, "leaked", "Violated")],
        [
            pj.transition(0, 1, pj.when(contains(event("text"), "SECRET"))),
            pj.transition(1, 2, pj.when(tool_is("upload"))),
        ],
        violating_states=[2],
    )],
    scopes=["agent"],
    source_hash=21,
)

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
