"""Texts in results are right whatever earlier results carried.

The binding reuses the str objects it made for recent texts; these cases
cycle through more texts than it remembers, of every storage length, and
through texts that share their first bytes, their length or their hash slot.
"""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import action, binary, load, policy, ref, rule, text, verdict

# Echoes the field "v" as an action argument and as the reason (the reason
# is the message "<" + v + ">", a fresh text every time).
ECHO = policy(rules=[rule(1, on_events=["e"], verdicts=[verdict("Audit", binary("Add", binary("Add", text("<"),
                                                                                                ref("Event", "v")),
                                                                                     text(">")))],
                          actions=[action("Log", v=ref("Event", "v"), fixed=text("a literal text " + "x" * 40))])])


@pytest.fixture(scope="module")
def engine():
    return load(ECHO)


def check(engine, value):
    result = engine.evaluate("e", {"v": value})
    assert result["actions"][0]["args"] == {"v": value, "fixed": "a literal text " + "x" * 40}
    assert result["reason"] == f"<{value}>"


@pytest.mark.parametrize("length", [0, 1, 8, 22, 23, 24, 64, 127, 128, 129, 4000])
def test_many_texts_of_one_length(engine, length):
    for round_ in range(2):
        for i in range(3000):
            check(engine, f"{i:06d}".ljust(length, "é" if i % 2 else "z")[:max(length, 6)])


def test_texts_differing_in_one_byte(engine):
    base = "k" * 30
    variants = [base[:i] + "K" + base[i + 1:] for i in range(len(base))]
    for _ in range(3):
        for value in variants + [base[:n] for n in range(len(base))]:
            check(engine, value)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(max_size=140), min_size=1, max_size=8))
def test_arbitrary_texts(values):
    engine = load(ECHO)
    for value in values + values[::-1]:
        check(engine, value)


# Rule i fires when "k" names its verdict; every verdict carries the reason
# "<" + v, so reasons repeat under each verdict as often as "v" does.
VERDICT_NAMES = ["Allow", "Deny", "Audit", "Redact"]
EACH_VERDICT = policy(rules=[
    rule(i + 1, on_events=["e"], condition=binary("Eq", ref("Event", "k"), text(name)),
         verdicts=[verdict(name, binary("Add", text("<"), ref("Event", "v")))])
    for i, name in enumerate(VERDICT_NAMES)])


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(VERDICT_NAMES + ["none"]),
                          st.sampled_from(["a", "b", "c", "x" * 200]) | st.text(max_size=4)),
                max_size=80))
def test_repeated_reasons_under_every_verdict(events):
    engine = load(EACH_VERDICT)
    for k, v in events * 3:
        result = engine.evaluate("e", {"k": k, "v": v})
        assert (result["verdict"], result["reason"]) == (("allow", None) if k == "none" else (k.lower(), f"<{v}"))
        # What the caller does to a result reaches no later one.
        result["reason"] = "changed by the caller"
        result["verdict"] = "changed"
        result["triggered_rules"].append(99)
