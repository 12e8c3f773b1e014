"""Property tests: host values round-trip exactly, arbitrary input to the
loaders fails only with the documented exception types, and randomly built
valid policies evaluate random events without raising and with an exact
event count."""

import json
import math

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _korvanthel_core  # noqa: E402
from conftest import ECHO_POLICY, echo_args, load  # noqa: E402
from korvanthel_tools.container import encode_container  # noqa: E402

PolicyEngine = _korvanthel_core.PolicyEngine
MAGIC_HEADER = encode_container(b"")[:8]  # magic, version and reserved, no length
RESULT_KEYS = ["verdict", "reason", "triggered_rules", "eval_time_us", "actions", "violations", "constraint_violations"]

SETTINGS = settings(
    max_examples=150,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# --- host values in the exact round-trip domain -------------------------------

# Text without lone surrogates (those become U+FFFD and do not round-trip).
texts = st.text(alphabet=st.characters(exclude_categories=("Cs",)), max_size=20)
scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=True, allow_infinity=True)
    | texts
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(texts, inner, max_size=5),
    max_leaves=25,
)


def same(a, b):
    """Exact equality of converted values: same types (True is not 1), NaN
    equal to NaN, zeros with their sign, dicts compared key by key."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def wrap(value, depth):
    for _ in range(depth):
        value = [value]
    return value


@pytest.fixture(scope="module")
def engine():
    return load(ECHO_POLICY)


@SETTINGS
@given(value=values)
def test_values_round_trip_through_every_store(engine, value):
    engine.set_context("k", value)
    engine.set_config("k", value)
    args = echo_args(engine, {"v": value})
    for got in (args["field"], args["context"], args["config"]):
        assert same(got, value), (got, value)


@SETTINGS
@given(value=scalars, depth=st.integers(min_value=0, max_value=199))
def test_values_round_trip_up_to_the_depth_bound(engine, value, depth):
    engine.set_context("k", wrap(value, depth))
    assert same(echo_args(engine)["context"], wrap(value, depth))


def poisoned(value, depth):
    """`value` wrapped in dicts with a non-str key at the innermost level."""
    bad = {1: value}
    for _ in range(depth):
        bad = {"d": bad}
    return bad


@SETTINGS
@given(kept=values, bad=values, depth=st.integers(min_value=0, max_value=20))
def test_failed_store_keeps_the_previous_value(engine, kept, bad, depth):
    engine.set_context("k", kept)
    count = engine.event_count
    with pytest.raises(TypeError):
        engine.set_context("k", poisoned(bad, depth))
    with pytest.raises(TypeError):
        engine.evaluate("echo", {"v": poisoned(bad, depth)})
    assert engine.event_count == count
    assert same(echo_args(engine)["context"], kept)


# --- arbitrary input to the loaders -------------------------------------------

VALID_JSON = json.dumps(ECHO_POLICY)


@SETTINGS
@given(data=st.binary(max_size=300))
def test_from_bytes_raises_only_runtime_error(data):
    for blob in (data, encode_container(data), MAGIC_HEADER + data):
        try:
            PolicyEngine.from_bytes(blob)
        except RuntimeError as error:
            assert str(error).startswith("Failed to parse policy bytes: ")


@SETTINGS
@given(text=st.text(alphabet=st.characters(exclude_categories=()), max_size=300))
def test_from_json_raises_only_value_error(text):
    try:
        PolicyEngine.from_json(text)
    except UnicodeEncodeError:
        assert any("\ud800" <= ch <= "\udfff" for ch in text)
    except ValueError as error:
        assert str(error).startswith("Invalid policy JSON: ")


@SETTINGS
@given(
    start=st.integers(min_value=0, max_value=len(VALID_JSON)),
    cut=st.integers(min_value=0, max_value=40),
    insert=st.text(alphabet='{}[]",:0123456789.eE-+ntrufalse\\ \n', max_size=12),
)
def test_mutated_policy_json_loads_or_raises_value_error(start, cut, insert):
    text = VALID_JSON[:start] + insert + VALID_JSON[start + cut:]
    for load_it, error_type, prefix in (
        (lambda: PolicyEngine.from_json(text), ValueError, "Invalid policy JSON: "),
        (lambda: PolicyEngine.from_bytes(encode_container(text.encode())),
         RuntimeError, "Failed to parse policy bytes: serialization error: "),
    ):
        try:
            engine = load_it()
        except error_type as error:
            assert str(error).startswith(prefix)
        else:
            assert engine.evaluate("echo", {"v": 1})["verdict"] in ("allow", "deny", "audit", "redact")


@pytest.mark.parametrize(
    "call,argument",
    [
        (PolicyEngine.from_bytes, "data"),
        (PolicyEngine.from_json, "json_str"),
        (PolicyEngine.from_file, "path"),
    ],
)
@SETTINGS
@given(wrong=st.integers() | st.none() | st.lists(st.integers(), max_size=2) | st.builds(bytearray, st.binary()))
def test_loaders_refuse_wrong_types(call, argument, wrong):
    with pytest.raises(TypeError) as info:
        call(wrong)
    assert str(info.value).startswith(f"argument '{argument}': '{type(wrong).__qualname__}' object cannot be converted")


# --- random valid policies against random events ------------------------------

EVENT_TYPES = ["tool_call", "data_access", "login", ""]
FIELD_NAMES = ["tool", "path", "n", "items", "user", "type", "timestamp"]
FUNCTIONS = ["len", "str", "abs", "min", "max", "nope"]
METHODS = ["to_lower", "to_upper", "trim", "split", "keys", "values", "contains_key", "first", "last",
           "is_empty", "length", "starts_with", "nope"]
u64 = st.integers(min_value=0, max_value=2**64 - 1)
u32 = st.integers(min_value=0, max_value=2**32 - 1)
i64 = st.integers(min_value=-(2**63), max_value=2**63 - 1)
names = st.sampled_from(FIELD_NAMES) | texts


def variant(name, payload):
    return {name: payload}


literals = st.one_of(
    st.builds(lambda b: variant("Bool", b), st.booleans()),
    st.builds(lambda i: variant("Int", i), i64 | st.integers(-3, 3)),
    st.builds(lambda f: variant("Float", f), st.floats(allow_nan=False, allow_infinity=False)),
    st.builds(lambda s: variant("String", s), names),
    st.builds(lambda v, u: variant("Duration", {"value": v, "unit": u}), u64 | st.integers(0, 100),
              st.sampled_from(["Milliseconds", "Seconds", "Minutes", "Hours", "Days"])),
    st.builds(lambda s: variant("Regex", s), st.sampled_from(["^a$", "a.*", ".*z", "x", ""])),
)
roots = st.sampled_from(["Event", "Context", "Policy"]) | st.builds(lambda n: {"Local": n}, st.integers(0, 3))
leaf_exprs = st.one_of(
    st.builds(lambda v: {"Literal": v}, literals),
    st.builds(lambda r, f: {"Ref": {"root": r, "fields": f}}, roots, st.lists(st.sampled_from(FIELD_NAMES), max_size=3)),
)


def compound(inner):
    params = st.sampled_from(["x", "y"])
    return st.one_of(
        st.builds(lambda op, l, r: {"Binary": {"op": op, "left": l, "right": r}},
                  st.sampled_from(["Add", "Sub", "Mul", "Div", "Mod", "Eq", "Neq", "Lt", "Le", "Gt", "Ge", "And",
                                   "Or", "Implies", "In"]), inner, inner),
        st.builds(lambda op, x: {"Unary": {"op": op, "operand": x}}, st.sampled_from(["Not", "Neg"]), inner),
        st.builds(lambda k, s, a: {"Predicate": {"kind": k, "subject": s, "argument": a}},
                  st.sampled_from(["Contains", "Matches", "StartsWith", "EndsWith"]), inner, inner),
        st.builds(lambda k, c, p, b: {"Quantifier": {"kind": k, "collection": c, "param": p, "body": b}},
                  st.sampled_from(["All", "Any", "None", "Exists"]), inner, params, inner),
        st.builds(lambda c, p, f: {"Count": {"collection": c, "param": p, "filter": f}},
                  inner, st.none() | params, st.none() | inner),
        st.builds(lambda f, a: {"Call": {"function": f, "args": a}}, st.sampled_from(FUNCTIONS),
                  st.lists(inner, max_size=3)),
        st.builds(lambda o, m, a: {"MethodCall": {"object": o, "method": m, "args": a}}, inner,
                  st.sampled_from(METHODS), st.lists(inner, max_size=2)),
        st.builds(lambda items: {"List": items}, st.lists(inner, max_size=4)),
        st.builds(lambda s, c, d: {"DecisionTree": {"Switch": {"subject": s, "cases": c, "default": d}}},
                  inner,
                  st.lists(st.builds(lambda t, b: {"test": t, "body": {"Leaf": b}},
                                     st.one_of(st.builds(lambda v: {"Literal": v}, literals),
                                               st.builds(lambda n: {"Constructor": n}, names),
                                               st.builds(lambda g: {"Guard": g}, inner)),
                                     inner), max_size=3),
                  st.none() | st.builds(lambda v: {"VerdictLeaf": {"verdict": v, "message": None}},
                                        st.sampled_from(["Allow", "Deny", "Audit", "Redact"]))),
    )


exprs = st.recursive(leaf_exprs, compound, max_leaves=12)
verdict_names = st.sampled_from(["Allow", "Deny", "Audit", "Redact"])
rules = st.builds(
    lambda i, on, cond, verdicts, actions: {"id": i, "on_events": on, "condition": cond, "verdicts": verdicts,
                                            "actions": actions},
    u32,
    st.lists(st.sampled_from(EVENT_TYPES), max_size=2),
    st.none() | exprs,
    st.lists(st.builds(lambda v, m: {"verdict": v, "message": m}, verdict_names, st.none() | exprs), max_size=2),
    st.lists(st.builds(lambda verb, args: {"verb": verb, "args": args},
                       st.sampled_from(["Log", "Notify", "Escalate", "Block", "Tag"]),
                       st.lists(st.tuples(st.sampled_from(["a", "b"]), exprs).map(list), max_size=3)), max_size=2),
)
constraints = st.builds(
    lambda kind, target, limit, window: {"kind": kind, "target": target, "limit": limit, "window_millis": window},
    st.sampled_from(["RateLimit", "Quota"]), st.sampled_from(EVENT_TYPES), st.integers(0, 3) | u64,
    st.integers(0, 5000) | u64,
)
state_index = st.integers(0, 3) | u32  # positions may lie outside `states`
guards = st.one_of(
    st.builds(lambda e: {"Predicate": e}, exprs),
    st.builds(lambda e: {"NegatedPredicate": e}, exprs),
    st.just("Timeout"),
    st.just("Always"),
)
machines = st.builds(
    lambda i, kind, states, transitions, initial, accepting, violating, deadline: {
        "id": i, "name": f"m{i}", "invariant_name": "inv", "kind": kind,
        "states": [{"id": n, "label": f"s{n}", "kind": k} for n, k in enumerate(states)],
        "transitions": transitions, "initial_state": initial, "accepting_states": accepting,
        "violating_states": violating, "deadline_millis": deadline},
    u32,
    st.sampled_from(["Always", "Eventually", "Never", "Until", "Next"]),
    st.lists(st.sampled_from(["Active", "Satisfied", "Violated"]), max_size=4),
    st.lists(st.builds(lambda f, t, g: {"from": f, "to": t, "guard": g}, state_index, state_index, guards),
             max_size=4),
    state_index,
    st.lists(state_index, max_size=2),
    st.lists(state_index, max_size=2),
    st.none() | st.integers(0, 100) | u64,
)
policies = st.builds(
    lambda r, c, m: {"name": "random", "severity": "Low", "scopes": [], "rules": r, "constraints": c,
                     "state_machines": m,
                     "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "h"}},
    st.lists(rules, max_size=4),
    st.lists(constraints, max_size=2),
    st.lists(machines, max_size=2),
)
field_values = st.recursive(
    st.none() | st.booleans() | i64 | st.floats() | names,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(FIELD_NAMES), inner, max_size=3),
    max_leaves=8,
)
events = st.tuples(st.sampled_from(EVENT_TYPES) | texts,
                   st.dictionaries(st.sampled_from(FIELD_NAMES) | texts, field_values, max_size=4))
session_ops = st.lists(
    st.one_of(
        st.tuples(st.just("evaluate"), events),
        st.tuples(st.just("context"), st.tuples(st.sampled_from(FIELD_NAMES), field_values)),
        st.tuples(st.just("config"), st.tuples(st.sampled_from(FIELD_NAMES), field_values)),
        st.tuples(st.just("reset"), st.none()),
        st.tuples(st.just("status"), st.none()),
    ),
    max_size=12,
)


def check_result(result, doc):
    assert list(result) == RESULT_KEYS
    assert result["verdict"] in ("allow", "deny", "audit", "redact")
    assert result["reason"] is None or isinstance(result["reason"], str)
    ids = {rule["id"] for rule in doc["rules"]}
    assert set(result["triggered_rules"]) <= ids
    assert len(result["triggered_rules"]) <= len(doc["rules"])
    assert isinstance(result["eval_time_us"], int) and result["eval_time_us"] >= 0
    assert all(list(a) == ["verb", "args"] for a in result["actions"])
    assert len(result["violations"]) <= len(doc["state_machines"])
    assert len(result["constraint_violations"]) <= 1
    if result["constraint_violations"]:
        assert result["verdict"] == "deny"


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(doc=policies, ops=session_ops)
def test_random_policies_evaluate_random_events(doc, ops):
    engine = PolicyEngine.from_json(json.dumps(doc))
    count = 0
    for op, arg in ops:
        if op == "evaluate":
            check_result(engine.evaluate(*arg), doc)
            count += 1
        elif op == "context":
            engine.set_context(*arg)
        elif op == "config":
            engine.set_config(*arg)
        elif op == "reset":
            engine.reset()
            count = 0
        else:
            assert engine.status().endswith(f"Events processed: {count}\n")
        assert engine.event_count == count
    assert repr(engine) == f"<PolicyEngine policy='random' events={count}>"
