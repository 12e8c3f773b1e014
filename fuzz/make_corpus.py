"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run from anywhere: python3 fuzz/make_corpus.py. The seeds are committed; this
script documents where they come from and regenerates them. Seeds are small:
a few valid policies (object and array forms, every expression kind,
constraints and state machines), containers around them, and edge cases.
"""

import json
import pathlib
import random
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"

sys.path.insert(0, str(ROOT))
from korvanthel_tools.container import encode_container  # noqa: E402
from korvanthel_tools.policy_json import lit, ref  # noqa: E402
from korvanthel_tools.policy_json import policy as _policy  # noqa: E402


def policy(name, rules=(), constraints=(), machines=()):
    return _policy(name, rules, constraints, machines, severity="Medium", scopes=["agent"],
                   annotations={"agent": "fuzz"}, source_hash=18446744073709551615, compiler_version="1.0")


EVERY_EXPR = {"Binary": {"op": "Or", "left": {"Quantifier": {
    "kind": "Any", "collection": ref("Event", "items"), "param": "x",
    "body": {"Binary": {"op": "Gt", "left": {"Ref": {"root": {"Local": 0}, "fields": []}}, "right": lit("Int", 3)}}}},
    "right": {"Binary": {"op": "Ge", "left": {"Count": {"collection": ref("Event", "items"), "param": "y",
        "filter": {"Predicate": {"kind": "Matches", "subject": {"Ref": {"root": {"Local": 1}, "fields": []}},
                                 "argument": lit("Regex", "^a.*")}}}},
        "right": {"Call": {"function": "len", "args": [{"MethodCall": {
            "object": ref("Context", "user", "name"), "method": "to_upper", "args": []}}]}}}}}}

DECISION = {"DecisionTree": {"Switch": {"subject": ref("Event", "kind"), "cases": [
    {"test": {"Literal": {"String": "a"}}, "body": {"Leaf": lit("Duration", {"value": 3, "unit": "Minutes"})}},
    {"test": {"Constructor": "T"}, "body": {"VerdictLeaf": {"verdict": "Audit", "message": None}}},
    {"test": {"Guard": {"Unary": {"op": "Not", "operand": ref("Policy", "strict")}}},
     "body": {"Leaf": {"List": [lit("Float", 2.5), lit("Bool", True), lit("Int", -9223372036854775808)]}}}],
    "default": {"Leaf": lit("String", "none")}}}}

RICH = policy(
    "rich",
    rules=[
        {"id": 1, "on_events": ["tool_call"], "condition": EVERY_EXPR,
         "verdicts": [{"verdict": "Audit", "message": {"Binary": {"op": "Add", "left": lit("String", "why: "),
                                                                  "right": ref("Event", "tool")}}}],
         "actions": [{"verb": "Log", "args": [["d", DECISION], ["e", ref("Event")], ["c", ref("Context")]]}],
         "severity": "Critical"},
        {"id": 2, "on_events": [], "condition": {"Predicate": {"kind": "Contains", "subject": ref("Event", "path"),
                                                               "argument": lit("String", "secret")}},
         "verdicts": [{"verdict": "Deny", "message": None}, {"verdict": "Redact", "message": lit("Int", 1)}],
         "actions": [{"verb": "Block", "args": []}, {"verb": "Tag", "args": [["t", {"Binary": {
             "op": "Div", "left": ref("Event", "n"), "right": lit("Int", 0)}}]]}]},
        {"id": 3, "on_events": ["data_access"], "verdicts": [{"verdict": "Allow", "message": lit("String", "ok")}],
         "actions": [{"verb": "Notify", "args": [["m", {"Binary": {"op": "Mod", "left": ref("Event", "n"),
                                                                      "right": lit("Int", -1)}}]]}]},
    ],
    constraints=[{"kind": "RateLimit", "target": "tool_call", "limit": 2, "window_millis": 1000},
                 {"kind": "Quota", "target": "data_access", "limit": 0, "window_millis": 18446744073709551615}],
    machines=[{"id": 1, "name": "proof", "invariant_name": "inv", "kind": "Eventually",
               "states": [{"id": 0, "label": "s", "kind": "Active"}, {"id": 1, "label": "ok", "kind": "Satisfied"},
                          {"id": 2, "label": "bad", "kind": "Violated"}],
               "transitions": [{"from": 0, "to": 1, "guard": {"Predicate": ref("Event", "done")}},
                               {"from": 0, "to": 2, "guard": "Timeout"},
                               {"from": 0, "to": 0, "guard": {"NegatedPredicate": ref("Event", "x")}},
                               {"from": 7, "to": 9, "guard": "Always"}],
               "initial_state": 0, "accepting_states": [1], "violating_states": [2, 5], "deadline_millis": 100}],
)

OUT_OF_RANGE = policy("broken-machine", machines=[{
    "id": 0, "name": "m", "invariant_name": "i", "kind": "Next", "states": [],
    "transitions": [{"from": 0, "to": 4294967295, "guard": "Always"}],
    "initial_state": 4294967295, "accepting_states": [], "violating_states": [4294967295], "deadline_millis": 0}])


def compact(doc):
    return json.dumps(doc, separators=(",", ":")).encode()


def container(payload, version=1, reserved=0, length=None):
    return encode_container(payload, format_version=version, reserved=reserved, payload_length=length)


def main():
    guard = (ROOT / "examples" / "guard_policy.json").read_bytes()
    data = ROOT / "zelvo-runtime" / "tests" / "data"
    policies = {
        "guard.json": guard,
        "example.json": (data / "example_policy.json").read_bytes(),
        "array_forms.json": (data / "array_forms.json").read_bytes(),
        "rich.json": json.dumps(RICH, indent=1).encode(),
        "out_of_range_machine.json": compact(OUT_OF_RANGE),
        "empty_policy.json": compact(policy("")),
    }
    edge = {
        "empty": b"",
        "nest127.json": b'{"name":"n","severity":"Low","scopes":[],"rules":[{"id":1,"on_events":[],"condition":'
                        + b'{"List":[' * 61 + b"]}" * 61 + b',"verdicts":[],"actions":[]}]}',
        "nest_unknown.json": b'{"x":' + b"[" * 300 + b"]" * 300 + b"}",
        "escapes.json": b'{"name":"\\ud83d\\ude00\\u00e9\\n\\"","severity":"Info"}',
        "bad_utf8.json": b'{"name":"\xff\xfe","severity":"Info"}',
        "lone_surrogate.json": b'{"name":"\\udc00"}',
        "numbers.json": b'{"rules":[{"id":4294967295,"on_events":[],"verdicts":[],"actions":[],"condition":'
                        b'{"Literal":{"Float":1e308}}}],"x":[-0,1e-400,123456789012345678901234567890]}',
        "duplicate.json": b'{"name":"a","name":"a"}',
    }
    for name in ("decoder_fuzz", "container_fuzz", "engine_fuzz", "roundtrip_fuzz"):
        (CORPUS / name).mkdir(parents=True, exist_ok=True)

    for name, body in {**policies, **edge}.items():
        (CORPUS / "decoder_fuzz" / name).write_bytes(body)
    # The round trip needs policies that decode.
    for name in (*policies, "nest127.json"):
        (CORPUS / "roundtrip_fuzz" / name).write_bytes({**policies, **edge}[name])

    containers = {name.replace(".json", ".zelvoc"): container(body) for name, body in policies.items()}
    containers.update({
        "trailing.zelvoc": container(policies["empty_policy.json"]) + b"garbage",
        "reserved_ffff.zelvoc": container(policies["example.json"], reserved=0xFFFF),
        "version2.zelvoc": container(b"{}", version=2),
        "bad_magic.zelvoc": b"\x00\x00\x00\x00" + container(b"{}")[4:],
        "short_magic.zelvoc": container(b"")[:3],
        "short_header.zelvoc": container(b"")[:9],
        "huge_length.zelvoc": container(b"{}", length=0xFFFFFFFF),
        "one_short.zelvoc": container(policies["example.json"], length=len(policies["example.json"]) + 1),
        "empty_payload.zelvoc": container(b""),
    })
    for name, body in containers.items():
        (CORPUS / "container_fuzz" / name).write_bytes(body)

    rng = random.Random(7)
    for name, body in policies.items():
        for k in range(2):
            session = bytes(rng.randrange(256) for _ in range(200))
            (CORPUS / "engine_fuzz" / f"{name}.{k}").write_bytes(compact(json.loads(body)) + b"\0" + session)

    # Saved states of state_fuzz's policy (id 0x5eed; two monitors; windows "a" and "b").
    (CORPUS / "state_fuzz").mkdir(parents=True, exist_ok=True)
    for name, body in {
        "valid": b"\0" + saved_state(3, [(1, 1000), (0, 1000)], [(b"a", [1000, 1010, 1020]), (b"b", [])]),
        "valid_fixsum": b"\1" + saved_state(7, [(2, 5), (1, 2**63)], [(b"a", []), (b"b", [1, 2, 3, 2**40])]),
        "empty_windows": b"\0" + saved_state(0, [(0, 0), (0, 0)], [(b"a", []), (b"b", [])]),
    }.items():
        (CORPUS / "state_fuzz" / name).write_bytes(body)


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for c in data:
        h = ((h ^ c) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def saved_state(count, monitors, windows, policy_id=0x5EED):
    """The saved form of engine/state_snapshot.h."""
    out = b"ZLST" + struct.pack("<IQQ", 1, policy_id, count) + varint(len(monitors))
    for state, started in monitors:
        out += varint(state) + struct.pack("<Q", started)
    out += varint(len(windows))
    for target, entries in windows:
        out += varint(len(target)) + target + varint(len(entries))
        previous = 0
        for entry in entries:
            out += varint(entry - previous)
            previous = entry
    return out + struct.pack("<Q", fnv1a64(out))


if __name__ == "__main__":
    main()
