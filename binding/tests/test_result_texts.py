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
