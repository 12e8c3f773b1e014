"""The canonical JSON text: exact forms of floats, integers, strings and
absent optional fields."""

from __future__ import annotations

import json
import struct

import pytest

from korvanthel_tools import _native
from lang_support import canonical

EMPTY = {
    "name": "p", "severity": "Info", "scopes": [], "rules": [], "constraints": [], "state_machines": [],
    "metadata": {"annotations": [], "source_hash": 0, "compiler_version": ""},
}


def with_message(literal: str) -> str:
    """A policy whose one verdict message is the literal given as JSON text."""
    return json.dumps({**EMPTY, "rules": [{"id": 1, "on_events": [], "verdicts": [{"verdict": "Deny", "message": None}], "actions": []}]}).replace(
        '"message": null', '"message": {"Literal": ' + literal + "}"
    )


@pytest.mark.parametrize(
    "literal,written",
    [
        ('{"Float": 2}', '{"Float":2.0}'),
        ('{"Float": 0.1}', '{"Float":0.1}'),
        ('{"Float": -0.0}', '{"Float":-0.0}'),
        ('{"Float": 1e21}', '{"Float":1e+21}'),
        ('{"Float": 5e-324}', '{"Float":5e-324}'),
        ('{"Float": 1.7976931348623157e308}', '{"Float":1.7976931348623157e+308}'),
        ('{"Float": 123456789012345680000}', '{"Float":123456789012345683968.0}'),
        ('{"Int": -9223372036854775808}', '{"Int":-9223372036854775808}'),
        ('{"String": "a\\"b\\\\c\\u0001\\n\\t\\r\\b\\f\\u007f/é"}', '{"String":"a\\"b\\\\c\\u0001\\n\\t\\r\\b\\f\x7f/é"}'),
        ('{"Duration": {"unit": "Days", "value": 18446744073709551615}}', '{"Duration":{"value":18446744073709551615,"unit":"Days"}}'),
        ('{"Regex": "^a\\\\d+$"}', '{"Regex":"^a\\\\d+$"}'),
    ],
)
def test_literal_text(literal: str, written: str) -> None:
    text = canonical(with_message(literal))
    assert '"message":{"Literal":' + written + "}" in text
    assert canonical(text) == text


def test_every_field_in_declared_order_absent_ones_null() -> None:
    policy = {**EMPTY, "rules": [{"actions": [], "verdicts": [{"verdict": "Allow"}], "on_events": ["a"], "id": 4294967295}]}
    assert canonical(json.dumps(policy)) == (
        '{"name":"p","severity":"Info","scopes":[],"rules":[{"id":4294967295,"on_events":["a"],"condition":null,'
        '"verdicts":[{"verdict":"Allow","message":null}],"actions":[],"severity":null}],"constraints":[],'
        '"state_machines":[],"metadata":{"annotations":[],"source_hash":0,"compiler_version":""}}'
    )


def test_array_forms_are_written_as_objects() -> None:
    policy = ["p", "Low", ["s"], [[7, [], None, [["Deny", None]], [], None]], [], [], [[["k", "v"]], 3, "c"]]
    assert canonical(json.dumps(policy)) == (
        '{"name":"p","severity":"Low","scopes":["s"],"rules":[{"id":7,"on_events":[],"condition":null,'
        '"verdicts":[{"verdict":"Deny","message":null}],"actions":[],"severity":null}],"constraints":[],'
        '"state_machines":[],"metadata":{"annotations":[["k","v"]],"source_hash":3,"compiler_version":"c"}}'
    )


def test_container_header() -> None:
    container = _native.compile_policy('policy "p" severity info\n')
    magic, version, reserved, length = struct.unpack_from("<IHHI", container)
    assert (magic, version, reserved, length) == (0x015C91AE, 1, 0, len(container) - 12)
    assert container[12:].decode() == _native.compile_policy_json('policy "p" severity info\n')


@pytest.mark.parametrize(
    "bad,message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        (b"\xae\x91\x5c\x01\x02\x00\x00\x00", "unsupported format version 2 (expected 1)"),
        (b"\xae\x91\x5c\x01\x01\x00\x00\x00\xff\x00\x00\x00{", "I/O error: failed to fill whole buffer"),
        ('{"name": 1}', "invalid type: integer `1`, expected a string at line 1 column 10"),
    ],
)
def test_load_errors_are_the_loaders(bad: str | bytes, message: str) -> None:
    for call in (_native.print_policy, _native.canonical_policy_json):
        with pytest.raises(ValueError) as info:
            call(bad)
        assert str(info.value) == message
