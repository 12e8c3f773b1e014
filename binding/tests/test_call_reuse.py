"""One thread's evaluate calls reuse their containers; no call may see
another's fields or results, including a call made from host code that runs
in the middle of another call on the same thread."""
import pytest

from conftest import action, binary, load, policy, ref, rule, text, verdict

# Denies when "v" is "bad" (with a reason and an action); allows otherwise.
GUARD = policy(rules=[
    rule(1, on_events=["e"], condition=binary("Eq", ref("Event", "v"), text("bad")),
         verdicts=[verdict("Deny", text("bad v"))], actions=[action("Log", v=ref("Event", "v"))]),
    rule(2, on_events=["e"], actions=[action("Tag", w=ref("Event", "w"))]),
])


def expected(v, w):
    """The result of GUARD for fields {"v": v, "w": w}, without its time."""
    fired = v == "bad"
    return {
        "verdict": "deny" if fired else "allow",
        "reason": "bad v" if fired else None,
        "triggered_rules": [1, 2] if fired else [2],
        "actions": ([{"verb": "Log", "args": {"v": v}}] if fired else []) + [{"verb": "Tag", "args": {"w": w}}],
        "violations": [],
        "constraint_violations": [],
    }


def without_time(result):
    result = dict(result)
    del result["eval_time_us"]
    return result


class Reentrant:
    """Converted through str(); its __str__ evaluates another event first."""

    def __init__(self, engine, fields, seen):
        self.engine, self.fields, self.seen = engine, fields, seen

    def __str__(self):
        self.seen.append(without_time(self.engine.evaluate("e", self.fields)))
        return "inner"


@pytest.mark.parametrize("sequence", [
    [("bad", 1), ("ok", 2), ("bad", 3)],
    [("ok", "x" * 100), ("bad", ["a", "b"]), ("ok", {"k": "v"})],
    [("bad", {f"k{i}": i for i in range(200)}), ("ok", None)],  # a field past the kept size, then a small one
])
def test_each_result_is_its_own(sequence):
    engine = load(GUARD)
    results = [engine.evaluate("e", {"v": v, "w": w}) for v, w in sequence]
    assert [without_time(r) for r in results] == [expected(v, w) for v, w in sequence]


def test_many_fields_then_few():
    engine = load(GUARD)
    many = {f"f{i}": i for i in range(500)}
    many.update(v="bad", w=1)
    assert without_time(engine.evaluate("e", many)) == expected("bad", 1)
    assert without_time(engine.evaluate("e", {"w": 2})) == expected(None, 2)


@pytest.mark.parametrize("same_engine", [True, False])
def test_call_from_host_code_inside_a_call(same_engine):
    outer_engine = load(GUARD)
    inner_engine = outer_engine if same_engine else load(GUARD)
    seen = []
    fields = {"v": "bad", "w": Reentrant(inner_engine, {"v": "ok", "w": "deep"}, seen)}
    result = outer_engine.evaluate("e", fields)
    assert seen == [expected("ok", "deep")]
    assert without_time(result) == expected("bad", "inner")
    # The thread's containers are whole again afterwards.
    assert without_time(outer_engine.evaluate("e", {"v": "ok", "w": 0})) == expected("ok", 0)


def test_failed_call_leaves_the_next_one_clean():
    engine = load(GUARD)

    class Failing:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError):
        engine.evaluate("e", {"v": "bad", "w": Failing()})
    assert without_time(engine.evaluate("e", {"w": 5})) == expected(None, 5)
