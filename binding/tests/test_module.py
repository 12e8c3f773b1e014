"""The module's surface: attributes, the class, its members' texts and signatures."""

import copy
import inspect
import pickle
import weakref

import pytest

import _korvanthel_core
from _korvanthel_core import PolicyEngine
from conftest import ECHO_POLICY, load

CLASS_DOC = (
    "The Korvanthel policy engine.\n"
    "\n"
    "Load a compiled policy and evaluate agent events against it.\n"
    "\n"
    "Example:\n"
    '    engine = PolicyEngine.from_file("guard.zelvoc")\n'
    '    result = engine.evaluate("tool_call", {"tool": "http_request", "url": "https://..."})\n'
    '    if result["verdict"] == "deny":\n'
    '        raise PermissionError(result["reason"])'
)

EVALUATE_DOC = (
    "Evaluate an event against the policy.\n"
    "\n"
    "Args:\n"
    '    event_type: The event type string (e.g., "tool_call", "data_access")\n'
    "    fields: A dict of event fields\n"
    "\n"
    "Returns:\n"
    "    A dict with keys: verdict, reason, triggered_rules, actions,\n"
    "    violations, constraint_violations, eval_time_us"
)


class TestModule:
    def test_docstring(self):
        assert _korvanthel_core.__doc__ == "Korvanthel native core \u2014 C++-powered policy verification."

    def test_exports_in_order(self):
        assert _korvanthel_core.__all__ == ["PolicyEngine", "__version__"]
        assert _korvanthel_core.__version__ == "0.1.0"

    def test_no_other_public_attributes(self):
        public = {name for name in vars(_korvanthel_core) if not name.startswith("_")}
        assert public == {"PolicyEngine"}
        assert not [v for v in vars(_korvanthel_core).values() if inspect.isbuiltin(v)]

    def test_internal_fault_class_is_not_exported(self):
        assert "InternalFault" not in vars(_korvanthel_core)

    def test_second_interpreter_cannot_import(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            with pytest.raises(interpreters.RunFailedError, match="ImportError"):
                interpreters.run_string(interp, "import _korvanthel_core")
        finally:
            interpreters.destroy(interp)


class TestClass:
    def test_names_and_docstring(self):
        assert PolicyEngine.__name__ == "PolicyEngine"
        assert PolicyEngine.__module__ == "_korvanthel_core"
        assert PolicyEngine.__doc__ == CLASS_DOC
        assert PolicyEngine.__bases__ == (object,)

    @pytest.mark.parametrize(
        "make", [lambda: PolicyEngine(), lambda: PolicyEngine("x"), lambda: PolicyEngine.__new__(PolicyEngine)]
    )
    def test_no_constructor(self, make):
        with pytest.raises(TypeError) as info:
            make()
        assert str(info.value) == "No constructor defined for PolicyEngine"

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (PolicyEngine,), {})

    def test_instances_have_no_dict_and_no_weakrefs(self):
        engine = load(ECHO_POLICY)
        assert not hasattr(engine, "__dict__")
        with pytest.raises(AttributeError):
            engine.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(engine)

    @pytest.mark.parametrize("name", ["policy_name", "event_count"])
    def test_read_only_properties(self, name):
        engine = load(ECHO_POLICY)
        assert isinstance(vars(PolicyEngine)[name], type(PolicyEngine.policy_name))  # a data descriptor
        with pytest.raises(AttributeError):
            setattr(engine, name, 5)
        with pytest.raises(AttributeError):
            delattr(engine, name)

    @pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, pickle.dumps])
    def test_instances_cannot_be_cloned(self, clone):
        with pytest.raises(TypeError):
            clone(load(ECHO_POLICY))

    def test_class_cannot_be_swapped(self):
        class Lookalike:
            __slots__ = ("state",)

        engine = load(ECHO_POLICY)
        with pytest.raises(TypeError):
            engine.__class__ = Lookalike
        with pytest.raises(TypeError):
            Lookalike().__class__ = PolicyEngine

    def test_repr(self):
        engine = load(ECHO_POLICY)
        assert repr(engine) == "<PolicyEngine policy='echo' events=0>"


MEMBERS = [
    # name, static, signature of the bound member, docstring
    ("from_file", True, "(path)", "Load a policy engine from a compiled .zelvoc file."),
    ("from_bytes", True, "(data)", "Load a policy engine from raw .zelvoc bytes."),
    ("from_json", True, "(json_str)", "Load a policy engine from a JSON string (debug format)."),
    ("evaluate", False, "(event_type, fields=None)", EVALUATE_DOC),
    ("set_context", False, "(key, value)", "Set a persistent context value."),
    ("set_config", False, "(key, value)", "Set a policy configuration value."),
    ("reset", False, "()", "Reset the engine state (state machines, counters)."),
    ("status", False, "()", "Get engine status summary."),
]


@pytest.mark.parametrize("name,static,signature,doc", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_member_signature_and_doc(name, static, signature, doc):
    engine = load(ECHO_POLICY)
    member = getattr(engine, name)
    assert str(inspect.signature(member)) == signature
    assert member.__doc__ == doc
    assert isinstance(inspect.getattr_static(PolicyEngine, name), staticmethod) == static


@pytest.mark.parametrize(
    "name,doc", [("policy_name", "Get the policy name."), ("event_count", "Get the total number of events processed.")]
)
def test_property_doc(name, doc):
    assert vars(PolicyEngine)[name].__doc__ == doc
