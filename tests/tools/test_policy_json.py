"""The policy JSON builders and the container packer, checked against the
engine that reads what they write."""

from __future__ import annotations

import json
from typing import Any

import pytest

from _korvanthel_core import PolicyEngine
from korvanthel_tools.container import (
    FORMAT_VERSION,
    MAGIC,
    ContainerHeader,
    encode_container,
    read_header,
)
from korvanthel_tools.policy_json import (
    action,
    always,
    binary,
    boolean,
    call,
    config,
    context,
    count,
    decision,
    dumps,
    duration,
    event,
    integer,
    items,
    local,
    method,
    number,
    policy,
    predicate,
    quantifier,
    quota,
    rate_limit,
    regex,
    rule,
    state,
    state_machine,
    text,
    timeout,
    transition,
    unary,
    unless,
    verdict,
    when,
)


def every_builder() -> dict[str, Any]:
    """A policy that uses every builder once; each rule echoes one
    expression as the argument "v" of a Log action."""
    echoed = {
        "text": text("t"),
        "integer": integer(-3),
        "number": number(1.5),
        "boolean": boolean(True),
        "duration": duration(2, "Seconds"),
        "regex": regex("^a"),
        "event": event("args", "url"),
        "context": context("who"),
        "config": config("limit"),
        "whole_event": event(),
        "unary": unary("Neg", integer(4)),
        "predicate": predicate("StartsWith", event("args", "url"), text("https:")),
        "any": quantifier("Any", event("tags"), binary("Eq", local(), text("pii"))),
        "count": count(event("tags"), binary("Neq", local(), text("ops"))),
        "count_all": count(event("tags"), param=None),
        "call": call("len", event("tags")),
        "method": method(text("MiXeD"), "to_lower"),
        "items": items(integer(1), text("two")),
        "decision": decision({"Leaf": text("leaf")}),
    }
    rules = [rule(i + 1, ["echo"], actions=[action("Log", v=expr)]) for i, expr in enumerate(echoed.values())]
    rules.append(rule(100, ["deny"], binary("Gt", event("n"), config("limit")), [verdict("Deny", "over the limit")],
                      severity="Critical"))
    rules.append(rule(101, ["deny"], verdicts=[verdict("Audit")]))
    machine = state_machine(
        7, "proof", "inv", "Never",
        [state(0, "start"), state(1, "armed"), state(2, "bad", "Violated")],
        [transition(0, 1, when(binary("Eq", event("step"), text("arm")))),
         transition(1, 0, unless(boolean(True))),
         transition(1, 2, when(binary("Eq", event("step"), text("fire")))),
         transition(2, 2, timeout()),
         transition(2, 2, always())],
        violating_states=[2], deadline_millis=60_000,
    )
    return policy("builders", rules, [rate_limit("burst", 1, 60_000), quota("other", 5, 1_000)], [machine],
                  severity="Low", scopes=["s"], annotations={"k": "v"}, source_hash=9, compiler_version="x")


EXPECTED_ECHOES: list[Any] = [
    "t", -3, 1.5, True, 2000, "^a", "https://x", "ann", 10, None, -4, True, True, 1, 2, 2, "mixed", [1, "two"],
    "leaf",
]


@pytest.fixture
def engine() -> PolicyEngine:
    built = PolicyEngine.from_json(dumps(every_builder()))
    built.set_context("who", "ann")
    built.set_config("limit", 10)
    return built


def test_every_builder_writes_what_the_engine_reads(engine: PolicyEngine) -> None:
    result = engine.evaluate("echo", {"args": {"url": "https://x"}, "tags": ["pii", "ops"]})
    echoes = [a["args"]["v"] for a in result["actions"]]
    # The whole event comes back as a map; everything else as written.
    whole = echoes[9]
    assert echoes[:9] + echoes[10:] == EXPECTED_ECHOES[:9] + EXPECTED_ECHOES[10:]
    assert whole["args"] == {"url": "https://x"} and whole["type"] == "echo"
    assert result["triggered_rules"] == list(range(1, 20))


def test_verdicts_constraints_and_machines(engine: PolicyEngine) -> None:
    assert engine.status().splitlines() == [
        "Policy: builders (Low)", "Rules: 21", "State machines: 1 total (1 active, 0 satisfied, 0 violated)",
        "Constraints: 2", "Events processed: 0",
    ]
    over = engine.evaluate("deny", {"n": 11})
    assert (over["verdict"], over["reason"], over["triggered_rules"]) == ("deny", "over the limit", [100, 101])
    under = engine.evaluate("deny", {"n": 3})
    assert (under["verdict"], under["reason"]) == ("audit", None)
    assert engine.evaluate("burst")["constraint_violations"] == []
    assert [v["kind"] for v in engine.evaluate("burst")["constraint_violations"]] == ["RateLimit"]
    engine.evaluate("step", {"step": "arm"})
    fired = engine.evaluate("step", {"step": "fire"})
    assert [(v["proof"], v["invariant"], v["kind"]) for v in fired["violations"]] == [("proof", "inv", "Never")]


def test_dumps_compact_and_indented_are_the_same_document() -> None:
    doc = every_builder()
    compact, indented = dumps(doc), dumps(doc, indent=2)
    assert " " not in compact.replace("over the limit", "")
    assert "\n" in indented
    assert json.loads(compact) == json.loads(indented) == doc


def test_optional_parts_are_left_out() -> None:
    assert rule(1) == {"id": 1, "on_events": [], "verdicts": [], "actions": []}
    assert verdict("Allow") == {"verdict": "Allow"}
    assert verdict("Deny", "why") == {"verdict": "Deny", "message": {"Literal": {"String": "why"}}}
    assert "deadline_millis" not in state_machine(1, "m", "i", "Always", [], [])
    assert policy()["metadata"] == {"annotations": [], "source_hash": 0, "compiler_version": "test"}
    assert policy(annotations=[("a", "1"), ("a", "2")])["metadata"]["annotations"] == [["a", "1"], ["a", "2"]]


@pytest.mark.parametrize(
    ("overrides", "header"),
    [
        ({}, ContainerHeader(MAGIC, FORMAT_VERSION, 0, 2)),
        ({"reserved": 0xFFFF}, ContainerHeader(MAGIC, FORMAT_VERSION, 0xFFFF, 2)),
        ({"magic": 0x12345678}, ContainerHeader(0x12345678, FORMAT_VERSION, 0, 2)),
        ({"format_version": 2}, ContainerHeader(MAGIC, 2, 0, 2)),
        ({"payload_length": 0xFFFFFFFF}, ContainerHeader(MAGIC, FORMAT_VERSION, 0, 0xFFFFFFFF)),
    ],
    ids=["default", "reserved", "magic", "version", "length"],
)
def test_encode_container_header_fields(overrides: dict[str, int], header: ContainerHeader) -> None:
    data = encode_container(b"{}", **overrides)
    assert read_header(data) == header
    assert data[12:] == b"{}"


@pytest.mark.parametrize(
    ("overrides", "message"),
    [
        ({"reserved": 0x10000}, "reserved field 65536 does not fit in 16 bits"),
        ({"reserved": -1}, "reserved field -1 does not fit in 16 bits"),
        ({"magic": 1 << 32}, "magic 4294967296 does not fit in 32 bits"),
        ({"format_version": 0x10000}, "format version 65536 does not fit in 16 bits"),
        ({"payload_length": -1}, "payload length -1 does not fit in 32 bits"),
    ],
)
def test_encode_container_refuses_fields_out_of_range(overrides: dict[str, int], message: str) -> None:
    with pytest.raises(ValueError) as info:
        encode_container(b"{}", **overrides)
    assert str(info.value) == message


def test_container_loads_in_the_engine() -> None:
    doc = policy("packed", [rule(1, ["e"], verdicts=[verdict("Deny", "no")])])
    engine = PolicyEngine.from_bytes(encode_container(dumps(doc).encode()))
    assert engine.evaluate("e")["reason"] == "no"
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_bytes(encode_container(dumps(doc).encode(), format_version=2))
    assert str(info.value) == "Failed to parse policy bytes: unsupported format version 2 (expected 1)"
