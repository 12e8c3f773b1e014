// The PolicyEngine heap type: slots, member table, docstrings, lifetime,
// and the members that only read (policy_name, event_count, __repr__).
#include <memory>
#include <string>

#include "engine_object.h"
#include "host/arg_binder.h"
#include "host/host.h"

namespace korvanthel {
namespace {

constexpr const char kClassDoc[] =
    "The Korvanthel policy engine.\n"
    "\n"
    "Load a compiled policy and evaluate agent events against it.\n"
    "\n"
    "Example:\n"
    "    engine = PolicyEngine.from_file(\"guard.zelvoc\")\n"
    "    result = engine.evaluate(\"tool_call\", {\"tool\": \"http_request\", \"url\": \"https://...\"})\n"
    "    if result[\"verdict\"] == \"deny\":\n"
    "        raise PermissionError(result[\"reason\"])";

constexpr const char kEvaluateDoc[] =
    "evaluate($self, event_type, fields=None)\n--\n\n"
    "Evaluate an event against the policy.\n"
    "\n"
    "Args:\n"
    "    event_type: The event type string (e.g., \"tool_call\", \"data_access\")\n"
    "    fields: A dict of event fields\n"
    "\n"
    "Returns:\n"
    "    A dict with keys: verdict, reason, triggered_rules, actions,\n"
    "    violations, constraint_violations, eval_time_us";

PyMethodDef kMethods[] = {
    bound_method("from_file", engine_from_file,
     "from_file(path)\n--\n\nLoad a policy engine from a compiled .zelvoc file.", METH_STATIC),
    bound_method("from_bytes", engine_from_bytes,
     "from_bytes(data)\n--\n\nLoad a policy engine from raw .zelvoc bytes.", METH_STATIC),
    bound_method("from_json", engine_from_json,
     "from_json(json_str)\n--\n\nLoad a policy engine from a JSON string (debug format).", METH_STATIC),
    bound_method("evaluate", engine_evaluate, kEvaluateDoc),
    bound_method("set_context", engine_set_context,
     "set_context($self, key, value)\n--\n\nSet a persistent context value."),
    bound_method("set_config", engine_set_config,
     "set_config($self, key, value)\n--\n\nSet a policy configuration value."),
    {"reset", engine_reset, METH_NOARGS, "reset($self)\n--\n\nReset the engine state (state machines, counters)."},
    {"status", engine_status, METH_NOARGS, "status($self)\n--\n\nGet engine status summary."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"policy_name", engine_policy_name, nullptr, "Get the policy name.", nullptr},
    {"event_count", engine_event_count, nullptr, "Get the total number of events processed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* engine_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return nullptr;
  return raise_error(ErrorKind::NoConstructor, name.get());
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<EngineObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(engine_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (not subclassable); no dict or weakref offsets (no
// instance attributes, no weak references). Immutable like a built-in class,
// which also refuses __class__ assignment to or from it, so every instance of
// this type was made by a factory and owns an EngineState.
PyType_Spec kSpec = {
    "_korvanthel_core.PolicyEngine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyObject* g_type = nullptr;  // strong reference for the process's lifetime

}  // namespace

PyObject* engine_type() noexcept {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

PyObject* new_engine_object(zelvo::CompiledPolicy policy) {
  auto state = std::make_unique<EngineState>(std::move(policy));
  auto* type = reinterpret_cast<PyTypeObject*>(g_type);
  PyObject* self = type->tp_alloc(type, 0);  // zero-filled; the instance owns a type reference
  if (self == nullptr) return nullptr;
  reinterpret_cast<EngineObject*>(self)->state = state.release();
  return self;
}

PyObject* engine_policy_name(PyObject* self, void*) {
  return at_boundary([&] { return text_to_host(state_of(self).policy_name.view()).release(); });
}

PyObject* engine_event_count(PyObject* self, void*) {
  return at_boundary([&]() -> PyObject* {
    std::uint64_t count = 0;
    if (!state_of(self).cell.with_core([&](zelvo::PolicyEngine& core) { count = core.event_count(); })) {
      return raise_error(ErrorKind::Poisoned);
    }
    return PyLong_FromUnsignedLongLong(count);
  });
}

PyObject* engine_repr(PyObject* self) {
  return at_boundary([&]() -> PyObject* {
    EngineState& state = state_of(self);
    std::uint64_t count = 0;
    if (!state.cell.with_core([&](zelvo::PolicyEngine& core) { count = core.event_count(); })) {
      return raise_error(ErrorKind::Poisoned);
    }
    std::string text = "<PolicyEngine policy='";
    text += state.policy_name.view();
    text += "' events=";
    text += std::to_string(count);
    text += '>';
    return text_to_host(text).release();
  });
}

}  // namespace korvanthel
