"""Every message the binding itself produces: argument binding, declared
parameter types, and the load failures of the three factories."""

import os

import pytest

from _korvanthel_core import PolicyEngine
from conftest import ECHO_POLICY, load
from korvanthel_tools.container import MAGIC, encode_container

P = "PolicyEngine."

# (member, args, kwargs, message): the TypeErrors of argument binding.
BINDING_CASES = [
    # too many positional arguments: fixed and optional-parameter forms, was/were
    ("from_file", ("a", "b"), {}, P + "from_file() takes 1 positional arguments but 2 were given"),
    ("from_json", ("a", "b", "c"), {}, P + "from_json() takes 1 positional arguments but 3 were given"),
    ("set_context", ("k", 1, 2), {}, P + "set_context() takes 2 positional arguments but 3 were given"),
    ("evaluate", ("x", None, 1), {}, P + "evaluate() takes from 1 to 2 positional arguments but 3 were given"),
    # a keyword that names no parameter, and a parameter given twice
    ("evaluate", ("x",), {"field": {}}, P + "evaluate() got an unexpected keyword argument 'field'"),
    ("from_bytes", (), {"path": b""}, P + "from_bytes() got an unexpected keyword argument 'path'"),
    ("evaluate", ("x",), {"event_type": "y"}, P + "evaluate() got multiple values for argument 'event_type'"),
    ("set_config", ("k", 1), {"value": 2}, P + "set_config() got multiple values for argument 'value'"),
    # missing required arguments: one, two (" and ")
    ("from_file", (), {}, P + "from_file() missing 1 required positional argument: 'path'"),
    ("evaluate", (), {"fields": {}}, P + "evaluate() missing 1 required positional argument: 'event_type'"),
    ("set_context", (), {}, P + "set_context() missing 2 required positional arguments: 'key' and 'value'"),
    ("set_config", (), {"key": "k"}, P + "set_config() missing 1 required positional argument: 'value'"),
    # declared parameter types
    ("from_file", (1,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    ("from_file", (b"p",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("from_json", (), {"json_str": None}, "argument 'json_str': 'NoneType' object cannot be converted to 'PyString'"),
    ("from_bytes", (bytearray(b"x"),), {}, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("from_bytes", (memoryview(b"x"),), {}, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("from_bytes", ("x",), {}, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    ("evaluate", (123,), {}, "argument 'event_type': 'int' object cannot be converted to 'PyString'"),
    ("evaluate", ("x", []), {}, "argument 'fields': 'list' object cannot be converted to 'PyDict'"),
    ("evaluate", ("x",), {"fields": ()}, "argument 'fields': 'tuple' object cannot be converted to 'PyDict'"),
    ("set_context", (1, 2), {}, "argument 'key': 'int' object cannot be converted to 'PyString'"),
    # the received type's qualified name
    ("evaluate", (PolicyEngine,), {}, "argument 'event_type': 'type' object cannot be converted to 'PyString'"),
]


def _call(member, args, kwargs):
    target = PolicyEngine if member.startswith("from_") else load(ECHO_POLICY)
    return getattr(target, member)(*args, **kwargs)


@pytest.mark.parametrize("member,args,kwargs,message", BINDING_CASES, ids=[c[3] for c in BINDING_CASES])
def test_binding_type_errors(member, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _call(member, args, kwargs)
    assert str(info.value) == message


def test_qualified_type_name_of_nested_class():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        PolicyEngine.from_file(Outer.Inner())
    assert str(info.value) == (
        "argument 'path': 'test_qualified_type_name_of_nested_class.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyString'"
    )


def test_missing_arguments_checked_after_keywords():
    # An unknown keyword is reported even when required arguments are missing.
    with pytest.raises(TypeError) as info:
        load(ECHO_POLICY).set_context(nope=1)
    assert str(info.value) == P + "set_context() got an unexpected keyword argument 'nope'"


@pytest.mark.parametrize("member", ["reset", "status"])
def test_no_argument_members_refuse_arguments(member):
    engine = load(ECHO_POLICY)
    with pytest.raises(TypeError):
        getattr(engine, member)(1)
    with pytest.raises(TypeError):
        getattr(engine, member)(x=1)


@pytest.mark.parametrize(
    "member,args",
    [
        ("from_file", ("\ud800",)),
        ("from_json", ("{\udfff}",)),
        ("evaluate", ("tool\ud800",)),
        ("set_context", ("\ud800", 1)),
        ("set_config", ("\ud800", 1)),
    ],
)
def test_lone_surrogates_raise_the_hosts_encoding_error(member, args):
    with pytest.raises(UnicodeEncodeError) as info:
        _call(member, args, {})
    assert not str(info.value).startswith("argument")


def test_subclasses_of_declared_types_are_accepted(tmp_path):
    class Text(str):
        pass

    class Data(bytes):
        pass

    class Fields(dict):
        pass

    engine = PolicyEngine.from_json(Text('{"name": "sub", "severity": "Low", "scopes": [], "rules": [],'
                                         ' "constraints": [], "state_machines": [], "metadata":'
                                         ' {"annotations": [], "source_hash": 0, "compiler_version": ""}}'))
    assert engine.policy_name == "sub"
    assert engine.evaluate(Text("x"), Fields(a=1))["verdict"] == "allow"
    with pytest.raises(RuntimeError):
        PolicyEngine.from_bytes(Data(b"\x00"))


# --- load failures ------------------------------------------------------

MINIMAL = (
    b'{"name": "m", "severity": "Info", "scopes": [], "rules": [], "constraints": [], "state_machines": [],'
    b' "metadata": {"annotations": [], "source_hash": 0, "compiler_version": ""}}'
)


def container(payload, magic=MAGIC, version=1, length=None):
    return encode_container(payload, magic=magic, format_version=version, payload_length=length)


@pytest.mark.parametrize(
    "data,message",
    [
        (b"", "I/O error: failed to fill whole buffer"),
        (b"\xae\x91\x5c", "I/O error: failed to fill whole buffer"),
        (container(MINIMAL, magic=0x12345678), "not a valid .zelvoc file (bad magic bytes)"),
        (container(MINIMAL, version=2), "unsupported format version 2 (expected 1)"),
        (container(MINIMAL, length=len(MINIMAL) + 1), "I/O error: failed to fill whole buffer"),
        (container(b""), "serialization error: EOF while parsing a value at line 1 column 0"),
    ],
    ids=["empty", "short-magic", "bad-magic", "version-2", "short-payload", "empty-payload"],
)
def test_from_bytes_errors(data, message):
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_bytes(data)
    assert str(info.value) == "Failed to parse policy bytes: " + message


def test_from_bytes_and_from_file_agree(tmp_path):
    good = tmp_path / "good.zelvoc"
    good.write_bytes(container(MINIMAL))
    assert PolicyEngine.from_file(str(good)).policy_name == PolicyEngine.from_bytes(container(MINIMAL)).policy_name
    bad = tmp_path / "bad.zelvoc"
    bad.write_bytes(container(MINIMAL, version=3))
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_file(str(bad))
    assert str(info.value) == "Failed to load policy: unsupported format version 3 (expected 1)"


@pytest.mark.parametrize("path", ["no/such/policy.zelvoc", "missing.zelvoc", "", "bad\x00name"])
def test_from_file_missing_path(path):
    with pytest.raises(FileNotFoundError) as info:
        PolicyEngine.from_file(path)
    assert str(info.value) == "Policy file not found: " + path


def test_from_file_directory(tmp_path):
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_file(str(tmp_path))
    assert str(info.value).startswith("Failed to load policy: I/O error: ")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of their mode")
def test_from_file_unreadable(tmp_path):
    locked = tmp_path / "locked.zelvoc"
    locked.write_bytes(container(MINIMAL))
    locked.chmod(0)
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_file(str(locked))
    assert str(info.value).startswith("Failed to load policy: I/O error: ")


@pytest.mark.parametrize(
    "text,message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("{}", "missing field `name` at line 1 column 2"),
        (MINIMAL.decode() + " x", "trailing characters at line 1 column " + str(len(MINIMAL) + 2)),
    ],
    ids=["empty", "no-fields", "trailing"],
)
def test_from_json_errors(text, message):
    with pytest.raises(ValueError) as info:
        PolicyEngine.from_json(text)
    assert str(info.value) == "Invalid policy JSON: " + message
