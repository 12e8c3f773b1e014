"""Read fields are found where the conversion put them, not searched for.

An engine notes, while converting an event's fields, where each field its
policy reads lands; rules then read those places directly. A policy that
reads more fields than an evaluation notes falls back to searching by key,
so the two engines below run the same rules both ways and must agree on
every event.
"""
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import action, binary, load, policy, ref, rule, text, verdict
from test_unread_fields import strip_time, values

READ = ["a", "b", "c", "d"]


def rules():
    return [
        rule(1, on_events=["e"], condition=binary("Eq", ref("Event", "a"), ref("Event", "c")),
             verdicts=[verdict("Deny", binary("Add", text("a is c: "), ref("Event", "d")))]),
        rule(2, on_events=["e"], actions=[action("Log", a=ref("Event", "a"), bx=ref("Event", "b", "x"),
                                                 d=ref("Event", "d"))]),
        rule(3, condition=binary("Eq", ref("Event", "b", "x"), ref("Event", "missing")),
             verdicts=[verdict("Audit")]),
    ]


NOTED = load(policy(rules=rules()))
# Forty more read fields, in a rule for another event type: too many to note.
SEARCHED = load(policy(rules=rules() + [
    rule(9, on_events=["never"], actions=[action("Log", **{f"n{i}": ref("Event", f"n{i}") for i in range(40)})]),
]))


class Key(str):
    """A key whose class may define its own equality: keys are searched."""


class HostText:
    """A value whose conversion runs host code."""

    def __str__(self):
        return "host"


keys = st.sampled_from(READ + ["x", "y", "n1"]) | st.text(max_size=3)
field_values = values | st.builds(lambda inner: {"x": inner}, values) | st.builds(HostText)


@st.composite
def events(draw):
    fields = draw(st.dictionaries(keys, field_values, max_size=7))
    if draw(st.booleans()) and fields:
        name = draw(st.sampled_from(sorted(fields)))
        fields[Key(name)] = draw(field_values)
    return fields


@settings(max_examples=300, deadline=None)
@given(fields=events())
def test_noted_positions_read_like_a_search(fields):
    assert strip_time(NOTED.evaluate("e", fields)) == strip_time(SEARCHED.evaluate("e", fields))


def test_no_fields_and_empty_fields():
    for fields in (None, {}):
        assert strip_time(NOTED.evaluate("e", fields)) == strip_time(SEARCHED.evaluate("e", fields))
        assert NOTED.evaluate("e", fields)["triggered_rules"] == [1, 2, 3]
