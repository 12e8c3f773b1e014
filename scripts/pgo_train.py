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
import importlib.util
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


# The policy builders, loaded from the source tree: this run comes before
# the package is installed.
_spec = importlib.util.spec_from_file_location("policy_json", root / "korvanthel_tools" / "policy_json.py")
pj = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(pj)


def audited(rule_id, on, condition, verdict, message, actions=()):
    return pj.rule(rule_id, on, condition, [pj.verdict(verdict, message)], actions)


def eq(left, right):
    return pj.binary("Eq", left, right)


ref, text, number, ITEM = pj.event, pj.text, pj.integer, pj.local()

# Rules over the extra fields of the variants below.
KINDS_POLICY = pj.policy(
    "training",
    rules=[
        audited(1, ["tool_call"],
                pj.binary("And", pj.predicate("Matches", ref("url"), pj.regex(".*.example.org/upload")),
                          pj.binary("Gt", ref("body_bytes"), number(500))), "Deny", "upload",
                [pj.action("Block", tool=ref("tool"))]),
        audited(2, [], pj.quantifier("Any", ref("tags"), eq(ITEM, text("pii")), param="t"), "Audit", "pii tag",
                [pj.action("Log", user=ref("user"), tags=ref("tags"))]),
        audited(3, [], pj.binary("Ge", pj.count(ref("tags"), pj.binary("Neq", ITEM, text("ops")), param="t"),
                                 number(2)), "Audit", "tags"),
        audited(4, ["tool_call"], eq(pj.method(ref("tool"), "to_lower"), text("shell")), "Audit", "shell",
                [pj.action("Notify", channel=text("sec"))]),
        audited(5, [], pj.binary("Gt", pj.call("len", ref("note")), number(200)), "Redact", "long note"),
        audited(6, [], pj.binary("And", pj.predicate("StartsWith", ref("args", "path"), text("/workspace/")),
                                 pj.binary("Lt", pj.binary("Mul", ref("args", "size"), number(2)), number(100000))),
                "Allow", "small write"),
        audited(7, ["data_access"], pj.binary("Neq", ref("user"), pj.context("owner")), "Audit", "not the owner",
                [pj.action("Tag", label=text("foreign"), who=ref("user"))]),
        audited(8, [], pj.binary("In", ref("user"), pj.config("blocked_users")), "Deny", "blocked user"),
        audited(9, [], pj.predicate("EndsWith", ref("path"), text(".json")), "Audit", "json read"),
        audited(10, [], pj.unary("Not", pj.predicate("Contains", ref("mode"), text("r"))), "Audit", "write"),
    ],
    constraints=[pj.rate_limit("data_access", 5, 1000)],
    severity="Medium",
    compiler_version="training",
)


def variants(fields, n):
    """The event's fields, and the same fields with the extras agents add."""
    yield fields
    yield {**fields, "tags": ["ops", "internal", "pii"][: 1 + n % 3], "attempt": n}
    yield {**fields, "args": {"path": f"/workspace/out/{n}.md", "mode": "w", "size": n * 512},
           "user": ["alice", "bob", "mallory"][n % 3]}
    yield {**fields, "note": "lorem ipsum " * (1 + n % 40), "score": n / 7}


engines = [PolicyEngine.from_json(policy_text), PolicyEngine.from_json(pj.dumps(KINDS_POLICY))]
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
