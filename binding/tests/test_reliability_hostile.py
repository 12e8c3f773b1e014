"""Hostile input at every entry point, one table: each case names its input
and the exact outcome (a value, or an exception type with its message).

Whatever the input, a call either succeeds or raises a clear exception; it
never crashes the interpreter, recurses without bound or allocates what the
input does not hold. After every case the engine used is still healthy and
counts only the evaluations that succeeded.
"""

import json

import pytest

import _korvanthel_core
from conftest import ECHO_POLICY, load
from host_values import (
    CYCLE_MSG,
    DEPTH_MSG,
    RESIZED_MSG,
    SneakyDict,
    SneakyList,
    SneakyStr,
    fields_grown_by,
    host_object,
    nested_dicts,
    nested_lists,
    self_dict,
    self_list,
)
from korvanthel_tools.container import encode_container

PolicyEngine = _korvanthel_core.PolicyEngine
DEEP = 100_000  # far beyond every nesting limit and any native stack


def container(payload, version=1, reserved=0, length=None):
    return encode_container(payload, format_version=version, reserved=reserved, payload_length=length)


GOOD_JSON = json.dumps(ECHO_POLICY)
GOOD = GOOD_JSON.encode()
ID_2_32 = GOOD_JSON.replace('"id": 1', '"id": 4294967296', 1)


def with_condition(expr_json):
    """A one-rule policy whose condition is the given JSON text."""
    return GOOD_JSON.replace('"rules": [', '"rules": [{"id": 9, "on_events": [], "verdicts": [], "actions": [], '
                             '"condition": ' + expr_json + "}, ", 1)


def limit_column(text):
    """The 1-based column of the bracket that opens the 128th container at
    once (the decoder's nesting limit), for one-line JSON text."""
    depth, in_string, escaped = 0, False, False
    for i, ch in enumerate(text):
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            if depth == 128:
                return i + 1
        elif ch in "]}":
            depth -= 1
    raise AssertionError("text stays within the limit")


def deep_unary(depth):
    return '{"Unary": {"op": "Not", "operand": ' * depth + '{"Literal": {"Bool": true}}' + "}}" * depth


# --- host objects with hostile protocols ------------------------------------


class SneakyKey(str):
    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        return str.__eq__(self, other)


class RaisingEqKey(str):
    """A keyword name whose comparison raises; binding compares the text."""

    def __eq__(self, other):
        raise AssertionError("__eq__ called")

    def __hash__(self):
        return str.__hash__(self)


def fields_swapped_by_str():
    """A fields dict whose entry's __str__ removes one key and adds another:
    the size stays, so the walk goes on; it must not crash."""
    fields = {}

    class Swapper:
        def __str__(self):
            fields.pop("w", None)
            fields["z"] = 2
            return "swapped"

    fields["v"] = Swapper()
    fields["w"] = 1
    return fields


# --- the table ----------------------------------------------------------------


class Ok:
    """The call succeeds; `check` (if any) receives its result."""

    def __init__(self, check=None):
        self.check = check


class Raises:
    """The call raises `error` (a type), with exactly `message` if given; with
    `fault`, the exception is the internal fault (a direct BaseException)."""

    def __init__(self, error, message=None, fault=False):
        self.error = error
        self.message = message
        self.fault = fault


def echoed(expected):
    """The echo rule returns the converted field unchanged from `expected`."""

    def check(result):
        assert result["actions"][0]["args"]["field"] == expected

    return check


def field(value):
    return lambda e: e.evaluate("echo", {"v": value})


LOAD_BYTES = "Failed to parse policy bytes: "
SHORT = LOAD_BYTES + "I/O error: failed to fill whole buffer"
JSON_ERR = "Invalid policy JSON: "
SURROGATES = UnicodeEncodeError


CASES = [
    # containers: truncated, mis-declared, oversized
    ("bytes-empty", lambda e: PolicyEngine.from_bytes(b""), Raises(RuntimeError, SHORT)),
    ("bytes-3", lambda e: PolicyEngine.from_bytes(container(b"{}")[:3]), Raises(RuntimeError, SHORT)),
    ("bytes-header-11", lambda e: PolicyEngine.from_bytes(container(b"")[:11]), Raises(RuntimeError, SHORT)),
    ("bytes-bad-magic", lambda e: PolicyEngine.from_bytes(b"\0" * 12 + GOOD),
     Raises(RuntimeError, LOAD_BYTES + "not a valid .zelvoc file (bad magic bytes)")),
    ("bytes-version-ffff", lambda e: PolicyEngine.from_bytes(container(GOOD, version=0xFFFF)),
     Raises(RuntimeError, LOAD_BYTES + "unsupported format version 65535 (expected 1)")),
    ("bytes-len-ffffffff", lambda e: PolicyEngine.from_bytes(container(GOOD, length=0xFFFFFFFF)),
     Raises(RuntimeError, SHORT)),
    ("bytes-len-80000000", lambda e: PolicyEngine.from_bytes(container(b"", length=0x80000000)),
     Raises(RuntimeError, SHORT)),
    ("bytes-len-one-over", lambda e: PolicyEngine.from_bytes(container(GOOD, length=len(GOOD) + 1)),
     Raises(RuntimeError, SHORT)),
    ("bytes-len-zero", lambda e: PolicyEngine.from_bytes(container(b"", length=0) + GOOD),
     Raises(RuntimeError, LOAD_BYTES + "serialization error: EOF while parsing a value at line 1 column 0")),
    ("bytes-len-short", lambda e: PolicyEngine.from_bytes(container(GOOD, length=len(GOOD) - 1) + b"}"),
     Raises(RuntimeError, LOAD_BYTES + f"serialization error: EOF while parsing an object at line 1 column {len(GOOD) - 1}")),
    ("bytes-1mib-trailer", lambda e: PolicyEngine.from_bytes(container(GOOD) + b"\xff" * (1 << 20)),
     Ok(lambda r: r.policy_name == "echo")),
    ("bytes-4mib-name", lambda e: PolicyEngine.from_bytes(container(GOOD.replace(b'"echo"', b'"' + b"n" * (4 << 20) + b'"', 1))),
     Ok(lambda r: len(r.policy_name) == 4 << 20)),
    ("bytes-subclass", lambda e: PolicyEngine.from_bytes(type("B", (bytes,), {})(container(GOOD))),
     Ok(lambda r: r.policy_name == "echo")),
    ("bytes-bytearray", lambda e: PolicyEngine.from_bytes(bytearray(container(GOOD))),
     Raises(TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'")),
    ("bytes-memoryview", lambda e: PolicyEngine.from_bytes(memoryview(container(GOOD))),
     Raises(TypeError, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'")),
    # JSON nesting: counted values stop at the limit; skipped values of unknown
    # keys are not counted but must not exhaust the stack either
    ("json-deep-open", lambda e: PolicyEngine.from_json("[" * DEEP),
     Raises(ValueError, JSON_ERR + "invalid type: sequence, expected a string at line 1 column 1")),
    ("json-nesting-127", lambda e: PolicyEngine.from_json(with_condition(deep_unary(61))), Ok()),
    ("json-nesting-128", lambda e: PolicyEngine.from_json(with_condition(deep_unary(62))),
     Raises(ValueError, JSON_ERR + f"recursion limit exceeded at line 1 column {limit_column(with_condition(deep_unary(62)))}")),
    ("json-deep-expr", lambda e: PolicyEngine.from_json(with_condition(deep_unary(DEEP))),
     Raises(ValueError, JSON_ERR + f"recursion limit exceeded at line 1 column {limit_column(with_condition(deep_unary(DEEP)))}")),
    ("json-deep-unknown-array", lambda e: PolicyEngine.from_json('{"x":' + "[" * DEEP + "]" * DEEP + "}"),
     Raises(ValueError, JSON_ERR + f"missing field `name` at line 1 column {5 + 2 * DEEP + 1}")),
    ("json-deep-unknown-object", lambda e: PolicyEngine.from_json('{"x":' + '{"a":' * DEEP + "1" + "}" * DEEP + "}"),
     Raises(ValueError, JSON_ERR + f"missing field `name` at line 1 column {5 + 6 * DEEP + 2}")),
    ("json-deep-unknown-unclosed", lambda e: PolicyEngine.from_json('{"x":' + "[" * DEEP),
     Raises(ValueError, JSON_ERR + f"EOF while parsing a list at line 1 column {5 + DEEP}")),
    ("bytes-deep-unknown", lambda e: PolicyEngine.from_bytes(container(b'{"x":' + b'{"a":[' * DEEP)),
     Raises(RuntimeError, LOAD_BYTES + f"serialization error: EOF while parsing a list at line 1 column {5 + 6 * DEEP}")),
    # huge numbers
    ("json-100k-digit-int", lambda e: PolicyEngine.from_json('{"rules":[{"id":' + "9" * DEEP + "}]}"),
     Raises(ValueError, JSON_ERR + f"number out of range at line 1 column {16 + DEEP}")),
    ("json-1e999", lambda e: PolicyEngine.from_json('{"rules":[{"id":1e999}]}'),
     Raises(ValueError, JSON_ERR + "number out of range at line 1 column 21")),
    ("json-1000-digit-exponent", lambda e: PolicyEngine.from_json('{"rules":[{"id":1e' + "9" * 1000 + "}]}"),
     Raises(ValueError, JSON_ERR + "number out of range at line 1 column 28")),
    ("json-tiny-unknown", lambda e: PolicyEngine.from_json('{"x":1e-99999}'),
     Raises(ValueError, JSON_ERR + "missing field `name` at line 1 column 14")),
    ("json-id-2^32", lambda e: PolicyEngine.from_json(ID_2_32),
     Raises(ValueError, JSON_ERR + "invalid value: integer `4294967296`, expected u32 at line 1 column "
            + str(ID_2_32.index("4294967296") + 10))),
    # invalid UTF-8 and surrogates
    ("bytes-invalid-utf8", lambda e: PolicyEngine.from_bytes(container(b'{"name":"\xc3\x28"}')),
     Raises(RuntimeError, LOAD_BYTES + "serialization error: invalid unicode code point at line 1 column 12")),
    ("bytes-overlong-utf8", lambda e: PolicyEngine.from_bytes(container(b'{"name":"\xc0\xaf"}')),
     Raises(RuntimeError, LOAD_BYTES + "serialization error: invalid unicode code point at line 1 column 12")),
    ("bytes-encoded-surrogate", lambda e: PolicyEngine.from_bytes(container(b'{"name":"\xed\xa0\x80"}')),
     Raises(RuntimeError, LOAD_BYTES + "serialization error: invalid unicode code point at line 1 column 13")),
    ("bytes-invalid-utf8-key", lambda e: PolicyEngine.from_bytes(container(b'{"\xff":1}')),
     Raises(RuntimeError, LOAD_BYTES + "serialization error: invalid unicode code point at line 1 column 4")),
    ("json-lone-surrogate", lambda e: PolicyEngine.from_json('{"name":"\udc80"}'), Raises(SURROGATES)),
    ("json-escaped-lone-surrogate", lambda e: PolicyEngine.from_json('{"name":"\\udc80"}'),
     Raises(ValueError, JSON_ERR + "lone leading surrogate in hex escape at line 1 column 15")),
    ("file-lone-surrogate", lambda e: PolicyEngine.from_file("\udc80"), Raises(SURROGATES)),
    ("file-nul", lambda e: PolicyEngine.from_file("a\0b"), Raises(FileNotFoundError, "Policy file not found: a\0b")),
    ("file-dev-zero", lambda e: PolicyEngine.from_file("/dev/zero"),
     Raises(RuntimeError, "Failed to load policy: not a valid .zelvoc file (bad magic bytes)")),
    ("file-dev-null", lambda e: PolicyEngine.from_file("/dev/null"),
     Raises(RuntimeError, "Failed to load policy: I/O error: failed to fill whole buffer")),
    ("evaluate-surrogate-type", lambda e: e.evaluate("\ud800"), Raises(SURROGATES)),
    ("evaluate-surrogate-key", lambda e: e.evaluate("echo", {"\ud800": 1}), Raises(SURROGATES)),
    ("evaluate-surrogate-value", field("a\ud800"), Ok(echoed("a\ufffd\ufffd\ufffd"))),
    ("set-context-surrogate-key", lambda e: e.set_context("\udfff", 1), Raises(SURROGATES)),
    ("set-config-surrogate-key", lambda e: e.set_config("\udfff", 1), Raises(SURROGATES)),
    ("evaluate-nul-in-type", lambda e: e.evaluate("ec\0ho", {"v": 1}), Ok(lambda r: r["actions"] == [])),
    # oversized but legitimate values
    ("evaluate-1mib-type", lambda e: e.evaluate("e" * (1 << 20)), Ok(lambda r: r["verdict"] == "allow")),
    ("evaluate-100k-fields", lambda e: e.evaluate("echo", {f"k{i}": i for i in range(DEEP)}), Ok(echoed(None))),
    ("evaluate-1m-list", field(list(range(1 << 20))), Ok(lambda r: len(r["actions"][0]["args"]["field"]) == 1 << 20)),
    ("evaluate-int-2^63", field(2**63), Ok(echoed(float(2**63)))),
    ("evaluate-int-2^1024", field(2**1024), Ok(echoed(str(2**1024)))),
    ("evaluate-int-neg-2^1024", field(-(2**1024)), Ok(echoed(str(-(2**1024))))),
    # nesting and self-reference in host values
    ("evaluate-depth-200", field(nested_lists(200)), Ok()),
    ("evaluate-depth-201", field(nested_lists(201)), Raises(RecursionError, DEPTH_MSG)),
    ("evaluate-depth-100k-dict", field(nested_dicts(DEEP)),
     Raises(RecursionError, DEPTH_MSG)),
    ("set-context-depth-100k", lambda e: e.set_context("k", nested_lists(DEEP)),
     Raises(RecursionError, DEPTH_MSG)),
    ("evaluate-self-list", field(self_list()), Raises(RecursionError, CYCLE_MSG)),
    ("evaluate-self-dict", field(self_dict()), Raises(RecursionError, CYCLE_MSG)),
    ("set-config-self-dict", lambda e: e.set_config("k", self_dict()), Raises(RecursionError, CYCLE_MSG)),
    ("evaluate-fields-contain-themselves", lambda e: e.evaluate("echo", self_dict()), Raises(RecursionError, CYCLE_MSG)),
    # objects whose protocols raise, lie or mutate
    ("str-raises", field(host_object(__str__=LookupError("no text"))), Raises(LookupError, "no text")),
    ("set-context-str-raises", lambda e: e.set_context("k", [host_object(__str__=LookupError("no text"))]), Raises(LookupError, "no text")),
    ("str-returns-int", field(host_object(__str__=42)), Raises(TypeError, "__str__ returned non-string (type int)")),
    ("str-returns-surrogate", field(host_object(__str__="a\udc80b")), Ok(echoed("a\ufffd\ufffd\ufffdb"))),
    ("index-raises", field(host_object(__index__=ZeroDivisionError("index"), __str__="index fell through")), Ok(echoed("index fell through"))),
    ("index-huge", field(host_object(__index__=2**70)), Ok(echoed(float(2**70)))),
    ("index-not-int", field(host_object(__index__="seven", __float__=7.5)), Ok(echoed(7.5))),
    ("float-raises", field(host_object(__float__=OverflowError("float"), __str__="float fell through")), Ok(echoed("float fell through"))),
    ("float-not-float", field(host_object(__float__="nope", __str__="bad float")), Ok(echoed("bad float"))),
    ("str-mutates-fields", lambda e: e.evaluate("echo", fields_grown_by("__str__")),
     Raises(BaseException, RESIZED_MSG, fault=True)),
    ("index-mutates-fields", lambda e: e.evaluate("echo", fields_grown_by("__index__")),
     Raises(BaseException, RESIZED_MSG, fault=True)),
    ("str-swaps-fields", lambda e: e.evaluate("echo", fields_swapped_by_str()), Ok(echoed("swapped"))),
    ("dict-subclass-overrides", field(SneakyDict(a=1, b=[2])), Ok(echoed({"a": 1, "b": [2]}))),
    ("fields-dict-subclass-overrides", lambda e: e.evaluate("echo", SneakyDict(v=3)), Ok(echoed(3))),
    ("list-subclass-overrides", field(SneakyList([1, "x"])), Ok(echoed([1, "x"]))),
    ("str-subclass-override", field(SneakyStr("kept")), Ok(echoed("kept"))),
    ("str-subclass-key", lambda e: e.evaluate("echo", {SneakyKey("v"): 5}), Ok(echoed(5))),
    ("event-type-str-subclass", lambda e: e.evaluate(SneakyStr("echo"), {"v": 6}), Ok(echoed(6))),
    # argument binding
    ("keyword-surrogate", lambda e: e.evaluate(**{"\ud800": 1}),
     Raises(TypeError, "PolicyEngine.evaluate() got an unexpected keyword argument '\ud800'")),
    ("keyword-str-subclass", lambda e: e.evaluate("echo", **{RaisingEqKey("fields"): {"v": 4}}), Ok(echoed(4))),
    ("positional-1000", lambda e: e.evaluate(*["echo"] * 1000),
     Raises(TypeError, "PolicyEngine.evaluate() takes from 1 to 2 positional arguments but 1000 were given")),
    ("keywords-1000", lambda e: e.set_config(**{f"k{i}": i for i in range(1000)}),
     Raises(TypeError, "PolicyEngine.set_config() got an unexpected keyword argument 'k0'")),
    # object-model abuse
    ("object-new", lambda e: object.__new__(PolicyEngine), Raises(TypeError)),
    ("type-new", lambda e: PolicyEngine.__new__(PolicyEngine), Raises(TypeError, "No constructor defined for PolicyEngine")),
    ("foreign-self", lambda e: PolicyEngine.evaluate(object(), "x"), Raises(TypeError)),
    ("foreign-self-property", lambda e: PolicyEngine.event_count.__get__(object()), Raises(TypeError)),
    ("subclass", lambda e: type("Sub", (PolicyEngine,), {}), Raises(TypeError)),
    ("pickle", lambda e: __import__("pickle").dumps(e), Raises(TypeError)),
    ("copy", lambda e: __import__("copy").copy(e), Raises(TypeError)),
    ("weakref", lambda e: __import__("weakref").ref(e), Raises(TypeError)),
]


@pytest.mark.parametrize("call,outcome", [pytest.param(c, o, id=i) for i, c, o in CASES])
def test_hostile_input(call, outcome):
    engine = load(ECHO_POLICY)
    engine.set_context("k", "before")
    if isinstance(outcome, Ok):
        result = call(engine)
        if outcome.check is not None:
            assert outcome.check(result) is not False
    else:
        with pytest.raises(BaseException) as info:
            call(engine)
        assert isinstance(info.value, outcome.error), repr(info.value)
        if outcome.message is not None:
            assert str(info.value) == outcome.message
        assert (type(info.value).__bases__ == (BaseException,)) == outcome.fault
    # The engine is still whole: earlier state kept, not poisoned, counting.
    before = engine.event_count
    args = engine.evaluate("echo", {"v": 1})["actions"][0]["args"]
    assert args == {"field": 1, "context": "before", "config": None}
    assert engine.event_count == before + 1


def test_failed_evaluations_are_not_counted():
    engine = load(ECHO_POLICY)
    failing = [case for case in CASES if isinstance(case[2], Raises) and case[0].startswith(("evaluate", "str", "index"))]
    assert len(failing) >= 8
    for _, call, _ in failing:
        with pytest.raises(BaseException):
            call(engine)
    assert engine.event_count == 0
