"""Host values that reach the edges of the conversion, shared by the
conversion, unread-field and reliability tests.

`host_object` makes an object whose protocol methods (``__str__``,
``__index__``, ``__float__``) return, raise or run what a table row gives;
the subclasses below override every way of looking at their items, which
the conversion must not call; `BAD_VALUES` is the one table of values every
store refuses, with the exception and message each raises.
"""

import pytest

DEPTH_MSG = "value nesting exceeds the maximum depth of 200"
CYCLE_MSG = "value cannot be converted: a list or dict contains itself"
RESIZED_MSG = "dictionary changed size during iteration"


def host_object(**protocol):
    """A fresh object whose methods named in `protocol` (``__str__=...``)
    each do what their value says: an exception is raised (a new one of
    the same type and arguments on every call, so that no traceback
    grows), a callable is called and its result returned, anything else
    is returned as it is. Its repr names the protocol, for test ids."""

    def method(outcome):
        if isinstance(outcome, BaseException):
            def fail(self):
                raise type(outcome)(*outcome.args)
            return fail
        if callable(outcome):
            return lambda self: outcome()
        return lambda self: outcome

    described = ", ".join(f"{name}={value!r}" for name, value in protocol.items())
    members = {name: method(outcome) for name, outcome in protocol.items()}
    members["__repr__"] = lambda self: f"host_object({described})"
    return type("HostObject", (), members)()


class Sneaky:
    """Iteration, indexing and length that lie or fail: a list or dict
    subclass mixing this in must be read through its storage alone."""

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __len__(self):
        return 10**6


class SneakyList(Sneaky, list):
    pass


class SneakyDict(Sneaky, dict):
    def items(self):
        raise AssertionError("items called")

    def keys(self):
        raise AssertionError("keys called")


class SneakyStr(str):
    """The stored text counts, never ``__str__``."""

    def __str__(self):
        raise AssertionError("__str__ called")


def nested_lists(depth):
    """`depth` lists, each the only item of the one around it."""
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def nested_dicts(depth):
    """`depth` dicts, each the value of "d" in the one around it."""
    value = {}
    for _ in range(depth - 1):
        value = {"d": value}
    return value


def self_list():
    loop = [1]
    loop.append(loop)
    return loop


def self_dict():
    knot = {"a": 1}
    knot["b"] = {"c": [knot]}
    return knot


def fields_grown_by(method, key="v", **first):
    """A fields dict holding `first`, then at `key` an object whose
    `method` (``__str__`` or ``__index__``) adds a key to that dict."""
    fields = dict(first)

    def grow():
        fields["added"] = 1
        return 1 if method == "__index__" else "grown"

    fields[key] = host_object(**{method: grow})
    return fields


# Values every store refuses: (make, exception type, exact message or None).
BAD_VALUES = [
    pytest.param(lambda: {1: "a"}, TypeError, "'int' object cannot be converted to 'PyString'", id="int-key"),
    pytest.param(lambda: [{"ok": {(1,): 2}}], TypeError, "'tuple' object cannot be converted to 'PyString'",
                 id="nested-tuple-key"),
    pytest.param(lambda: {"\ud800": 1}, UnicodeEncodeError, None, id="surrogate-key"),
    pytest.param(lambda: [1, host_object(__str__=LookupError("str failed"))], LookupError, "str failed",
                 id="str-raises"),
    pytest.param(lambda: 10 ** 5000, ValueError, None, id="int-too-long-for-str"),
    pytest.param(lambda: nested_lists(201), RecursionError, DEPTH_MSG, id="deep-list"),
    pytest.param(lambda: nested_dicts(201), RecursionError, DEPTH_MSG, id="deep-dict"),
    pytest.param(self_list, RecursionError, CYCLE_MSG, id="self-list"),
    pytest.param(self_dict, RecursionError, CYCLE_MSG, id="self-dict"),
]
