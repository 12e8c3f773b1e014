"""Hypothesis strategies for random valid compiled policies, as the JSON
object form the runtime's decoder reads (dicts, lists and scalars ready for
``json.dumps``).

Every construct of the model appears: each expression kind, operator,
predicate, quantifier kind, count with and without param and filter, calls
and method calls of built-in and arbitrary names, decision trees with every
node and case test, lists, every literal kind (texts with quotes,
backslashes, backticks, control characters and non-ASCII), local slots of
any number with fields, absent optional fields written as null or left
out, and state machines whose positions may point outside their states.
Expressions are kept shallow enough for the decoder's nesting limit.
"""

from __future__ import annotations

from typing import Any

from hypothesis import strategies as st

U32 = 2**32 - 1
U64 = 2**64 - 1
I64_MIN = -(2**63)
I64_MAX = 2**63 - 1

SEVERITIES = ["Critical", "High", "Medium", "Low", "Info"]
VERDICTS = ["Allow", "Deny", "Audit", "Redact"]
VERBS = ["Log", "Notify", "Escalate", "Block", "Tag"]
BINARY_OPS = ["Add", "Sub", "Mul", "Div", "Mod", "Eq", "Neq", "Lt", "Le", "Gt", "Ge", "And", "Or", "Implies", "In"]
PREDICATES = ["Contains", "Matches", "StartsWith", "EndsWith"]
QUANTIFIERS = ["All", "Any", "None", "Exists"]
UNITS = ["Milliseconds", "Seconds", "Minutes", "Hours", "Days"]
TEMPORAL = ["Always", "Eventually", "Never", "Until", "Next"]
STATE_KINDS = ["Active", "Satisfied", "Violated"]

Json = Any

# Texts: mostly names a language would use bare, sometimes keywords, words
# of the language's built-ins, and arbitrary Unicode (no surrogates).
WORDS = [
    "x", "tool", "path", "url", "items", "a_b", "_", "rule", "event", "match", "in", "len", "contains",
    "count", "any", "to_upper", "split", "has_key", "first", "severity", "critical", "id", "per", "timeout",
]
any_text = st.text(st.characters(blacklist_categories=["Cs"]), max_size=12)
texts = st.one_of(st.sampled_from(WORDS), any_text, st.sampled_from(["", "a b", 'q"uote', "back\\slash", "tick`", "\n\t\x00\x7f"]))
u32 = st.one_of(st.integers(0, 12), st.integers(0, U32))
u64 = st.one_of(st.integers(0, 100_000), st.integers(0, U64))


def optional(value: st.SearchStrategy[Json]) -> st.SearchStrategy[Json]:
    """An optional field: a value, or None (written as null, or left out by
    ``record``)."""
    return st.one_of(st.none(), value)


@st.composite
def record(draw: st.DrawFn, fields: dict[str, st.SearchStrategy[Json]], optional_keys: tuple[str, ...] = ()) -> Json:
    out = {}
    for key, strategy in fields.items():
        value = draw(strategy)
        if value is None and key in optional_keys and draw(st.booleans()):
            continue  # absent by omission rather than null
        out[key] = value
    return out


# Pattern texts: each of the engine's four rules, read as a regular
# expression reader would read them and misread.
PATTERNS = ["^/tmp/x$", "/tmp/.*", ".*.txt", ".txt", "^a", "a$", "a|b", ".*a.*", "", ".*", "^$", "a\\s", "(x)", "^.*$"]

literal_values = st.one_of(
    st.builds(lambda b: {"Bool": b}, st.booleans()),
    st.builds(lambda i: {"Int": i}, st.one_of(st.integers(-5, 100), st.integers(I64_MIN, I64_MAX))),
    st.builds(lambda f: {"Float": f}, st.floats(allow_nan=False, allow_infinity=False)),
    st.builds(lambda s: {"String": s}, texts),
    st.builds(lambda v, u: {"Duration": {"value": v, "unit": u}}, u64, st.sampled_from(UNITS)),
    st.builds(lambda s: {"Regex": s}, st.one_of(texts, st.sampled_from(PATTERNS))),
)

roots = st.one_of(
    st.sampled_from(["Event", "Context", "Policy"]),
    st.builds(lambda n: {"Local": n}, st.one_of(st.just(0), u32)),
)

leaf_exprs = st.one_of(
    st.builds(lambda v: {"Literal": v}, literal_values),
    st.builds(lambda r, f: {"Ref": {"root": r, "fields": f}}, roots, st.lists(texts, max_size=3)),
)


def compound(children: st.SearchStrategy[Json]) -> st.SearchStrategy[Json]:
    args = st.lists(children, max_size=2)
    return st.one_of(
        st.builds(lambda op, l, r: {"Binary": {"op": op, "left": l, "right": r}}, st.sampled_from(BINARY_OPS), children, children),
        st.builds(lambda op, e: {"Unary": {"op": op, "operand": e}}, st.sampled_from(["Not", "Neg"]), children),
        st.builds(lambda k, s, a: {"Predicate": {"kind": k, "subject": s, "argument": a}}, st.sampled_from(PREDICATES), children, children),
        st.builds(
            lambda k, c, p, b: {"Quantifier": {"kind": k, "collection": c, "param": p, "body": b}},
            st.sampled_from(QUANTIFIERS), children, texts, children,
        ),
        record({"collection": children, "param": optional(texts), "filter": optional(children)}, ("param", "filter")).map(
            lambda r: {"Count": r}
        ),
        st.builds(lambda f, a: {"Call": {"function": f, "args": a}}, st.one_of(st.sampled_from(["len", "min", "abs"]), texts), args),
        st.builds(
            lambda o, m, a: {"MethodCall": {"object": o, "method": m, "args": a}},
            children, st.one_of(st.sampled_from(["len", "split", "has_key", "name"]), texts), args,
        ),
        decision_trees(children),
        st.builds(lambda items: {"List": items}, args),
    )


def decision_trees(exprs: st.SearchStrategy[Json]) -> st.SearchStrategy[Json]:
    verdict = record({"verdict": st.sampled_from(VERDICTS), "message": optional(exprs)}, ("message",))
    leaves = st.one_of(
        st.builds(lambda e: {"Leaf": e}, exprs),
        st.builds(lambda v: {"VerdictLeaf": v}, verdict),
    )
    tests = st.one_of(
        st.builds(lambda v: {"Literal": v}, literal_values),
        st.builds(lambda n: {"Constructor": n}, texts),
        st.builds(lambda e: {"Guard": e}, exprs),
    )

    def switch(nodes: st.SearchStrategy[Json]) -> st.SearchStrategy[Json]:
        case = st.builds(lambda t, b: {"test": t, "body": b}, tests, nodes)
        return record(
            {"subject": exprs, "cases": st.lists(case, max_size=2), "default": optional(nodes)}, ("default",)
        ).map(lambda r: {"Switch": r})

    nodes = st.recursive(leaves, switch, max_leaves=2)
    return st.builds(lambda n: {"DecisionTree": n}, nodes)


exprs = st.recursive(leaf_exprs, compound, max_leaves=5)

verdicts = record({"verdict": st.sampled_from(VERDICTS), "message": optional(exprs)}, ("message",))
actions = st.builds(
    lambda v, a: {"verb": v, "args": a},
    st.sampled_from(VERBS),
    st.lists(st.tuples(texts, exprs).map(list), max_size=2),
)
rules = record(
    {
        "id": u32,
        "on_events": st.lists(texts, max_size=3),
        "condition": optional(exprs),
        "verdicts": st.lists(verdicts, max_size=2),
        "actions": st.lists(actions, max_size=2),
        "severity": optional(st.sampled_from(SEVERITIES)),
    },
    ("condition", "severity"),
)
constraints = st.builds(
    lambda k, t, l, w: {"kind": k, "target": t, "limit": l, "window_millis": w},
    st.sampled_from(["RateLimit", "Quota"]), texts, u64, u64,
)
guards = st.one_of(
    st.sampled_from(["Timeout", "Always"]),
    st.builds(lambda e: {"Predicate": e}, exprs),
    st.builds(lambda e: {"NegatedPredicate": e}, exprs),
)
positions = st.one_of(st.integers(0, 4), u32)
states = st.builds(
    lambda i, l, k: {"id": i, "label": l, "kind": k},
    st.one_of(st.integers(0, 4), u32), st.one_of(st.sampled_from(["s0", "s1", "s2"]), texts), st.sampled_from(STATE_KINDS),
)
machines = record(
    {
        "id": u32,
        "name": texts,
        "invariant_name": texts,
        "kind": st.sampled_from(TEMPORAL),
        "states": st.lists(states, max_size=4),
        "transitions": st.lists(st.builds(lambda f, t, g: {"from": f, "to": t, "guard": g}, positions, positions, guards), max_size=4),
        "initial_state": positions,
        "accepting_states": st.lists(positions, max_size=2),
        "violating_states": st.lists(positions, max_size=2),
        "deadline_millis": optional(u64),
    },
    ("deadline_millis",),
)


@st.composite
def after_machines(draw: st.DrawFn) -> Json:
    """The shape of the keep-denying form `after X deny every later event
    [when Y]`, or one change away from it (which must print as states)."""
    x = draw(exprs)
    y = draw(optional(exprs))
    guard = "Always" if y is None else {"Predicate": y}
    again = draw(st.one_of(st.just(guard), guards))
    labels = draw(st.one_of(st.just(["before", "after", "denying"]), st.lists(st.sampled_from(["before", "after", "denying", "x"]), min_size=3, max_size=3)))
    kinds = draw(st.one_of(st.just(["Active"] * 3), st.lists(st.sampled_from(STATE_KINDS), min_size=3, max_size=3)))
    return {
        "id": draw(u32), "name": draw(texts), "invariant_name": draw(texts), "kind": draw(st.sampled_from(TEMPORAL)),
        "states": [{"id": i, "label": labels[i], "kind": kinds[i]} for i in range(3)],
        "transitions": [{"from": 0, "to": 1, "guard": {"Predicate": x}}, {"from": 1, "to": 2, "guard": guard},
                        {"from": 2, "to": 2, "guard": again}],
        "initial_state": 0, "accepting_states": [], "violating_states": draw(st.one_of(st.just([2]), st.lists(positions, max_size=2))),
    }


metadata = st.builds(
    lambda a, h, v: {"annotations": a, "source_hash": h, "compiler_version": v},
    st.lists(st.tuples(texts, texts).map(list), max_size=2),
    u64,
    st.one_of(st.just("zelvo-compiler 0.1.0"), texts),
)
policies = st.builds(
    lambda n, s, sc, r, c, m, md: {
        "name": n, "severity": s, "scopes": sc, "rules": r, "constraints": c, "state_machines": m, "metadata": md,
    },
    texts,
    st.sampled_from(SEVERITIES),
    st.lists(texts, max_size=3),
    st.lists(rules, max_size=3),
    st.lists(constraints, max_size=2),
    st.lists(st.one_of(machines, after_machines()), max_size=2),
    metadata,
)
