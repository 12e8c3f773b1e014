"""The training run of the profile-guided build.

Loads the module from the directory given (an instrumented build) and
drives it the way an agent framework does: the example guard policy (loaded
from its JSON and from its container) and a second policy that uses the
other expression kinds (quantifiers, Count, Matches, method and function
calls, arithmetic, ordering, context reads) store their configuration and
evaluate the example session's events, again and again, in variants that
add the kinds of fields agents send (nested argument maps, tag lists,
numbers, long texts), with a reset every few events so that the rate limit
and the state machine take every path. The profiles it leaves behind tell
the compiler which paths are the common ones.

    python scripts/pgo_train.py <directory holding _korvanthel_core>
"""
import json
import runpy
import sys
from pathlib import Path

ROUNDS = 400

root = Path(__file__).resolve().parent.parent
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
from _korvanthel_core import PolicyEngine  # noqa: E402

SESSION = runpy.run_path(str(root / "examples" / "guard_demo.py"))["SESSION"]

policy_text = (root / "examples" / "guard_policy.json").read_text()
container = root / "examples" / "guard_policy.zelvoc"


def ref(*path, root="Event"):
    return {"Ref": {"root": root, "fields": list(path)}}


def text(value):
    return {"Literal": {"String": value}}


def number(value):
    return {"Literal": {"Int": value}}


def op(name, left, right):
    return {"Binary": {"op": name, "left": left, "right": right}}


def test(kind, subject, argument):
    return {"Predicate": {"kind": kind, "subject": subject, "argument": argument}}


ITEM = {"Ref": {"root": {"Local": 0}, "fields": []}}


def rule(rule_id, on, condition, verdict, message, actions=()):
    return {"id": rule_id, "on_events": on, "condition": condition,
            "verdicts": [{"verdict": verdict, "message": text(message)}],
            "actions": [{"verb": verb, "args": [[k, v] for k, v in args.items()]} for verb, args in actions]}


# Rules over the extra fields of the variants below.
KINDS_POLICY = {
    "name": "training", "severity": "Medium", "scopes": [],
    "rules": [
        rule(1, ["tool_call"], op("And", test("Matches", ref("url"), {"Literal": {"Regex": ".*.example.org/upload"}}),
                                   op("Gt", ref("body_bytes"), number(500))), "Deny", "upload",
             [("Block", {"tool": ref("tool")})]),
        rule(2, [], {"Quantifier": {"kind": "Any", "collection": ref("tags"), "param": "t",
                                    "body": op("Eq", ITEM, text("pii"))}}, "Audit", "pii tag",
             [("Log", {"user": ref("user"), "tags": ref("tags")})]),
        rule(3, [], op("Ge", {"Count": {"collection": ref("tags"), "param": "t",
                                        "filter": op("Neq", ITEM, text("ops"))}}, number(2)), "Audit", "tags"),
        rule(4, ["tool_call"], op("Eq", {"MethodCall": {"object": ref("tool"), "method": "to_lower", "args": []}},
                                  text("shell")), "Audit", "shell", [("Notify", {"channel": text("sec")})]),
        rule(5, [], op("Gt", {"Call": {"function": "len", "args": [ref("note")]}}, number(200)), "Redact",
             "long note"),
        rule(6, [], op("And", test("StartsWith", ref("args", "path"), text("/workspace/")),
                       op("Lt", op("Mul", ref("args", "size"), number(2)), number(100000))), "Allow", "small write"),
        rule(7, ["data_access"], op("Neq", ref("user"), ref("owner", root="Context")), "Audit", "not the owner",
             [("Tag", {"label": text("foreign"), "who": ref("user")})]),
        rule(8, [], op("In", ref("user"), ref("blocked_users", root="Policy")), "Deny", "blocked user"),
        rule(9, [], test("EndsWith", ref("path"), text(".json")), "Audit", "json read"),
        rule(10, [], {"Unary": {"op": "Not", "operand": test("Contains", ref("mode"), text("r"))}}, "Audit", "write"),
    ],
    "constraints": [{"kind": "RateLimit", "target": "data_access", "limit": 5, "window_millis": 1000}],
    "state_machines": [],
    "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "training"},
}


def variants(fields, n):
    """The event's fields, and the same fields with the extras agents add."""
    yield fields
    yield {**fields, "tags": ["ops", "internal", "pii"][: 1 + n % 3], "attempt": n}
    yield {**fields, "args": {"path": f"/workspace/out/{n}.md", "mode": "w", "size": n * 512},
           "user": ["alice", "bob", "mallory"][n % 3]}
    yield {**fields, "note": "lorem ipsum " * (1 + n % 40), "score": n / 7}


engines = [PolicyEngine.from_json(policy_text), PolicyEngine.from_json(json.dumps(KINDS_POLICY))]
if container.exists():
    engines.append(PolicyEngine.from_file(str(container)))
for engine in engines:
    engine.set_config("blocked_hosts", ["paste.example.org", "transfer.example.net"])
    engine.set_config("blocked_users", ["mallory"])
    engine.set_context("owner", "alice")

count = 0
for n in range(ROUNDS):
    engine = engines[n % len(engines)]
    for event_type, fields, _ in SESSION:
        for variant in variants(fields, n):
            engine.evaluate(event_type, variant)
            count += 1
            if count % 12 == 0:
                engine.reset()
    engine.status()
for _ in range(20):
    PolicyEngine.from_json(policy_text)
print(f"pgo training: {count} evaluations")
