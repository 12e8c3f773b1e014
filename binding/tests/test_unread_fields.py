"""Fields that no rule reads are checked, not converted.

The engine keeps only the fields its policy can read; every other field is
still walked with the same readings, so a bad value fails the same way, and
host code runs the same number of times, whether or not a rule reads it.
"""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import action, load, policy, ref, rule
from host_values import BAD_VALUES, RESIZED_MSG, fields_grown_by, host_object

# Reads the field "v" only; the rule fires for every event of type "e".
READS_V = policy(rules=[rule(1, on_events=["e"], actions=[action("Log", field=ref("Event", "v"))])])


@pytest.fixture
def engine():
    return load(READS_V)


@pytest.mark.parametrize("make,error,message", BAD_VALUES)
@pytest.mark.parametrize("key", ["v", "w"], ids=["read", "unread"])
def test_bad_values_fail_alike(engine, make, error, message, key):
    with pytest.raises(error) as info:
        engine.evaluate("e", {"v": 1, key: make()} if key == "w" else {key: make()})
    if message is not None:
        assert str(info.value) == message
    assert engine.event_count == 0


@pytest.mark.parametrize("key", ["v", "w"], ids=["read", "unread"])
def test_host_code_runs_alike(engine, key):
    calls = []

    class Counted:
        def __str__(self):
            calls.append(1)
            return "counted"

    engine.evaluate("e", {key: [Counted(), {"k": Counted()}], "x": 1.5})
    assert len(calls) == 2


def test_dict_changing_size_in_an_unread_field(engine):
    with pytest.raises(BaseException) as info:
        engine.evaluate("e", fields_grown_by("__str__", key="w", v=1))
    assert str(info.value) == RESIZED_MSG
    assert engine.event_count == 0


def test_subclass_key_with_a_read_name_is_kept(engine):
    class Key(str):
        pass

    assert engine.evaluate("e", {"v": 1, Key("v"): 2})["actions"][0]["args"] == {"field": 2}
    assert engine.evaluate("e", {Key("w"): 3, "v": 4})["actions"][0]["args"] == {"field": 4}


def test_non_ascii_field_names_are_found():
    doc = policy(rules=[rule(1, on_events=["e"], actions=[action("Log", f=ref("Event", "naïve ✓"))])])
    assert load(doc).evaluate("e", {"naïve ✓": "yes", "other": "no"})["actions"][0]["args"] == {"f": "yes"}


def strip_time(result):
    return {k: v for k, v in result.items() if k != "eval_time_us"}


scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text())
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(), inner,
                                                                                             max_size=3),
                      max_leaves=10)


@settings(max_examples=150, deadline=None)
@given(v=values, extra=st.dictionaries(st.text().filter(lambda k: k != "v"), values, max_size=4))
def test_unread_fields_do_not_change_the_result(v, extra):
    engine = load(READS_V)
    alone = strip_time(engine.evaluate("e", {"v": v}))
    assert strip_time(engine.evaluate("e", {**extra, "v": v})) == alone
    assert strip_time(engine.evaluate("e", {"v": v, **extra})) == alone


def test_long_texts_stay_valid_when_host_code_drops_them(engine):
    # The first field's long text is referred to, not copied; converting the
    # second replaces the first in the dict (same size), dropping the
    # caller's last reference to that text before the engine reads it.
    long_text = "".join(["long text ", "x" * 40])
    fields = {"v": long_text}
    del long_text

    class Replacer:
        def __str__(self):
            fields["v"] = "replaced"
            return "r"

    fields["w"] = [Replacer()]
    result = engine.evaluate("e", fields)
    assert result["actions"][0]["args"] == {"field": "long text " + "x" * 40}
    assert fields["v"] == "replaced"


def test_more_long_texts_than_are_borrowed():
    names = [f"f{i}" for i in range(40)]
    doc = policy(rules=[rule(1, on_events=["e"], actions=[action("Log", **{n: ref("Event", n) for n in names})])])
    fields = {n: f"{n}: " + "é" * 30 + n for n in names}
    assert load(doc).evaluate("e", fields)["actions"][0]["args"] == fields


# Reads no field at all: the walk only checks, and keeps nothing.
READS_NOTHING = policy(rules=[rule(1, on_events=["e"], actions=[action("Log")])])
ENGINES = [pytest.param(READS_V, id="reads-v"), pytest.param(READS_NOTHING, id="reads-nothing")]


@pytest.mark.parametrize("make,error,message", BAD_VALUES)
def test_bad_values_fail_alike_when_nothing_is_read(make, error, message):
    engine = load(READS_NOTHING)
    with pytest.raises(error) as info:
        engine.evaluate("e", {"v": 1, "w": make()})
    if message is not None:
        assert str(info.value) == message
    assert engine.event_count == 0
    assert engine.evaluate("e", {"v": 1})["triggered_rules"] == [1]


@pytest.mark.parametrize("doc", ENGINES)
@given(n=st.integers(1, 20), at=st.integers(0, 19), later=st.integers(0, 19))
@settings(max_examples=60, deadline=None)
def test_host_code_replacing_a_later_value_is_seen(doc, n, at, later):
    """Items are walked a few at a time; host code run by one item's
    conversion may replace a later one, which is then read as it is now."""
    at, later = at % n, later % n
    fields = {f"k{i}": i for i in range(n)}

    def replace():
        fields[f"k{later}"] = {1: "not a str key"}
        return "replaced"

    fields[f"k{at}"] = host_object(__str__=replace)
    engine = load(doc)
    if later > at:
        with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
            engine.evaluate("e", fields)
    else:
        assert engine.evaluate("e", fields)["triggered_rules"] == [1]
