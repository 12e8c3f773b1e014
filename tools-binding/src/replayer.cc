// Replayer: one engine evaluated at times the caller gives (add_replayer).
//
//   Replayer(policy: bytes | str)
//   evaluate_at(ts_ms, event_type, fields=None) -> dict
//   explain_at(ts_ms, event_type, fields=None) -> dict (changes nothing)
//   set_context(key, value), set_config(key, value)
//   reset(ts_ms), status() -> str, event_count, policy_name
//   save_state() -> bytes, restore_state(data), holds_state(ts_ms) -> bool,
//   read_fields, policy_id (engine/state_snapshot.h; the id is FNV-1a of the policy's
//   canonical JSON, so two loads of one policy share it)
//
// The engine is built at the time of the first evaluate_at (or reset), so
// its monitors start then; until it exists, status() describes the policy
// with no events, and stored values wait to be put into it. Fields and
// stored values are converted, and results built, by the same code as
// PolicyEngine's (zelvo_host), so both give equal dicts and raise the same
// errors. Every member runs with the interpreter lock held, which
// serialises calls on one object; a failed call changes nothing.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "container/container.h"
#include "engine/engine.h"
#include "engine/field_positions.h"
#include "engine/state_snapshot.h"
#include "emit/policy_json.h"
#include "explain/explain.h"
#include "event_lines.h"
#include "explain_to_host.h"
#include "host/arg_binder.h"
#include "host/host.h"
#include "host/errors.h"
#include "host_text.h"
#include "model/json_decoder.h"
#include "replay/event_clock.h"
#include "replay/timestamp.h"
#include "policy_arg.h"
#include "replay_parts.h"

namespace korvanthel::tools {
namespace {

namespace rp = zelvo::replay;

// The engine and the clock it reads, built together at one time.
struct TimedEngine {
  TimedEngine(const zelvo::CompiledPolicy& policy, std::uint64_t start_ms) : clock(start_ms), engine(policy, clock) {}
  rp::EventClock clock;
  zelvo::PolicyEngine engine;
};

struct ReplayerState {
  explicit ReplayerState(zelvo::CompiledPolicy p)
      : policy(std::move(p)), use(zelvo::FieldUse::of(policy)), kept(use) {}
  zelvo::CompiledPolicy policy;
  zelvo::FieldUse use;
  KeptFields kept;  // refers to `use`
  std::unique_ptr<TimedEngine> timed;
  // Values stored before the engine exists, put into it when it is built.
  zelvo::ValueMap pending_context;
  zelvo::ValueMap pending_config;
  std::optional<std::uint64_t> policy_id;  // computed on first use
};

struct ReplayerObject {
  PyObject_HEAD
  ReplayerState* state;
};

ReplayerState& state_of(PyObject* self) { return *reinterpret_cast<ReplayerObject*>(self)->state; }

bool read_ts(PyObject* obj, std::uint64_t& out) {
  const HostTs found = read_host_ts(obj, /*texts=*/false, out);
  if (found == HostTs::Ok) return true;
  if (found != HostTs::NotTime) return raise_bad_ts(found, obj, "ts_ms") != nullptr;
  PyErr_Format(PyExc_TypeError, "argument 'ts_ms': expected int, got '%s'", Py_TYPE(obj)->tp_name);
  return false;
}

// The arguments of evaluate_at and explain_at: (ts_ms, event_type, fields=None).
constexpr std::array<Param, 3> kEventAtParams = {{
    {"ts_ms", ParamType::Any},
    {"event_type", ParamType::String},
    {"fields", ParamType::DictOrNone, false},
}};
constexpr Signature kEvaluateAt = {"evaluate_at()", kEventAtParams};
constexpr Signature kExplainAt = {"explain_at()", kEventAtParams};
constexpr std::array<Param, 2> kStoreParams = {{{"key", ParamType::String}, {"value", ParamType::Any}}};
constexpr Signature kSetContext = {"set_context()", kStoreParams};
constexpr Signature kSetConfig = {"set_config()", kStoreParams};
constexpr std::array<Param, 1> kTsParams = {{{"ts_ms", ParamType::Any}}};
constexpr Signature kReset = {"reset()", kTsParams};
constexpr Signature kHoldsState = {"holds_state()", kTsParams};
constexpr std::array<Param, 1> kDataParams = {{{"data", ParamType::Any}}};
constexpr Signature kRestoreState = {"restore_state()", kDataParams};
constexpr std::array<Param, 1> kPolicyParams = {{{"policy", ParamType::Any}}};
constexpr Signature kReplayerNew = {"Replayer()", kPolicyParams};

// Binds (ts_ms, event_type, fields) of evaluate_at and explain_at.
using EventAtArgs = std::array<BoundArg, 3>;

// An event read from those arguments, its fields converted as
// PolicyEngine.evaluate converts them. The texts it borrows and the
// positions of its fields are kept with it.
struct EventAt {
  BorrowedTexts borrows;
  FieldPositions positions;
  zelvo::Event event;
};

// Reads the time, the event type and the fields' dict into `out`, the
// fields converted into `storage` (an empty map). False with an exception
// set; `out` is then to be dropped.
bool read_event_at(const EventAtArgs& a, const KeptFields& kept, zelvo::ValueMap storage, EventAt& out) {
  std::uint64_t ts = 0;
  if (!read_ts(a[0].object, ts)) return false;
  out.event = zelvo::Event{zelvo::Str(a[1].text), std::move(storage), ts, {}};
  return fields_to_event(a[2].object, kept, out.borrows, out.positions, out.event);
}

// Puts the values stored before the engine existed into `engine`.
void apply_pending(const ReplayerState& st, zelvo::PolicyEngine& engine) {
  for (const zelvo::MapEntry& e : st.pending_context) engine.set_context(e.key, e.value);
  for (const zelvo::MapEntry& e : st.pending_config) engine.set_config(e.key, e.value);
}

zelvo::PolicyEngine& engine_at(ReplayerState& st, std::uint64_t ts) {
  if (!st.timed) {
    st.timed = std::make_unique<TimedEngine>(st.policy, ts);
    apply_pending(st, st.timed->engine);
    st.pending_context.clear();
    st.pending_config.clear();
  }
  return st.timed->engine;
}

PyObject* replayer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 1> bound;
    if (!bind_tuple_arguments(kReplayerNew, args, kwargs, bound)) return nullptr;
    PolicyArg arg;
    if (!read_policy_arg(bound[0].object, arg)) return nullptr;
    auto loaded = load_policy_arg(arg, "<policy>");
    if (!loaded) return raise_policy_load_error(PyType_GetModule(type), loaded.error());
    std::optional<zelvo::CompiledPolicy> policy(std::move(loaded.value().policy));
    auto state = std::make_unique<ReplayerState>(std::move(*policy));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ReplayerObject*>(self)->state = state.release();
    return self;
  });
}

void replayer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ReplayerObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    EventAtArgs a;
    if (!bind_arguments(kEvaluateAt, args, nargs, kwnames, a)) return nullptr;
    ReplayerState& st = state_of(self);
    CallScratch scratch;
    EventAt at;
    if (!read_event_at(a, st.kept, scratch.take_fields(), at)) return nullptr;
    zelvo::EvalResult& result = scratch.result();
    engine_at(st, at.event.timestamp).evaluate(at.event, result);
    PyRef out = result_to_host(result);
    scratch.keep_fields(std::move(at.event.fields));
    return out.release();
  });
}

// The explanation of an event at ts_ms on the current state; evaluates
// nothing and changes nothing. Before the first evaluate_at, on an engine
// built for the occasion at ts_ms with the stored values.
PyObject* explain_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    EventAtArgs a;
    if (!bind_arguments(kExplainAt, args, nargs, kwnames, a)) return nullptr;
    ReplayerState& st = state_of(self);
    EventAt at;
    if (!read_event_at(a, st.kept, {}, at)) return nullptr;
    if (st.timed) return explanation_to_host(zelvo::explain::explain(st.timed->engine, at.event)).release();
    TimedEngine probe(st.policy, at.event.timestamp);
    apply_pending(st, probe.engine);
    return explanation_to_host(zelvo::explain::explain(probe.engine, at.event)).release();
  });
}

enum class Store { Context, Config };

PyObject* store(Store which, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 2> bound;
    if (!bind_arguments(which == Store::Context ? kSetContext : kSetConfig, args, nargs, kwnames, bound)) return nullptr;
    const std::string_view key = bound[0].text;
    zelvo::Value value;
    if (!value_from_host(bound[1].object, value)) return nullptr;
    ReplayerState& st = state_of(self);
    if (st.timed) {
      if (which == Store::Context) st.timed->engine.set_context(zelvo::Str(key), std::move(value));
      else st.timed->engine.set_config(zelvo::Str(key), std::move(value));
    } else {
      (which == Store::Context ? st.pending_context : st.pending_config).insert_or_assign(zelvo::Str(key), std::move(value));
    }
    Py_RETURN_NONE;
  });
}

PyObject* set_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return store(Store::Context, self, args, nargs, kwnames);
}

PyObject* set_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return store(Store::Config, self, args, nargs, kwnames);
}

PyObject* reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 1> bound;
    if (!bind_arguments(kReset, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t ts = 0;
    if (!read_ts(bound[0].object, ts)) return nullptr;
    ReplayerState& st = state_of(self);
    if (st.timed) {
      st.timed->clock.advance_to(ts);
      st.timed->engine.reset();
    } else {
      engine_at(st, ts);
    }
    Py_RETURN_NONE;
  });
}

PyObject* status(PyObject* self, PyObject*) {
  return at_boundary([&]() -> PyObject* {
    ReplayerState& st = state_of(self);
    if (st.timed) return text_to_host(st.timed->engine.status()).release();
    // Not built yet: what an engine built now would report.
    TimedEngine probe(st.policy, 0);
    return text_to_host(probe.engine.status()).release();
  });
}

PyObject* event_count(PyObject* self, void*) {
  const ReplayerState& st = state_of(self);
  return PyLong_FromUnsignedLongLong(st.timed ? st.timed->engine.event_count() : 0);
}

PyObject* policy_name(PyObject* self, void*) {
  return at_boundary([&]() -> PyObject* { return text_to_host(state_of(self).policy.name.view()).release(); });
}

std::uint64_t policy_id_of(ReplayerState& st) {
  if (!st.policy_id) st.policy_id = zelvo::fnv1a64(zelvo::lang::write_policy_json(st.policy));
  return *st.policy_id;
}

PyObject* save_state(PyObject* self, PyObject*) {
  return at_boundary([&]() -> PyObject* {
    ReplayerState& st = state_of(self);
    if (!st.timed) {
      PyErr_SetString(PyExc_ValueError, "no engine state yet: the engine is built by the first evaluate_at, reset or restore_state");
      return nullptr;
    }
    const std::string bytes = zelvo::save_state(st.timed->engine, policy_id_of(st));
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

// Refused bytes raise ValueError and change nothing; before the first
// evaluate_at the engine is built here (its clock at 0: the restored
// monitors carry their own start times).
PyObject* restore_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 1> bound;
  if (!bind_arguments(kRestoreState, args, nargs, kwnames, bound)) return nullptr;
  // Any bytes-like object, as its buffer.
  Py_buffer data;
  if (!PyObject_CheckBuffer(bound[0].object)) {
    raise_not_convertible(bound[0].object, "PyBytes", "data");
    return nullptr;
  }
  if (PyObject_GetBuffer(bound[0].object, &data, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* out = at_boundary([&]() -> PyObject* {
    ReplayerState& st = state_of(self);
    const std::string_view bytes(static_cast<const char*>(data.buf), static_cast<std::size_t>(data.len));
    std::unique_ptr<TimedEngine> fresh;
    zelvo::PolicyEngine* engine = st.timed ? &st.timed->engine : nullptr;
    if (engine == nullptr) {
      fresh = std::make_unique<TimedEngine>(st.policy, 0);
      engine = &fresh->engine;
    }
    const std::string refused = zelvo::restore_state(*engine, bytes, policy_id_of(st));
    if (!refused.empty()) {
      PyErr_Format(PyExc_ValueError, "cannot restore engine state: %s", refused.c_str());
      return nullptr;
    }
    if (fresh) {
      apply_pending(st, fresh->engine);
      st.pending_context.clear();
      st.pending_config.clear();
      st.timed = std::move(fresh);
    }
    Py_RETURN_NONE;
  });
  PyBuffer_Release(&data);
  return out;
}

PyObject* holds_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 1> bound;
  if (!bind_arguments(kHoldsState, args, nargs, kwnames, bound)) return nullptr;
  std::uint64_t ts = 0;
  if (!read_ts(bound[0].object, ts)) return nullptr;
  const ReplayerState& st = state_of(self);
  return PyBool_FromLong(st.timed && zelvo::holds_live_state(st.timed->engine, ts));
}

// The top-level event fields the policy can read, or None when some
// expression reads the whole event (then every field matters).
PyObject* read_fields(PyObject* self, void*) {
  return at_boundary([&]() -> PyObject* {
    const zelvo::FieldUse& use = state_of(self).use;
    if (use.reads_all()) Py_RETURN_NONE;
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(use.count())));
    if (!out) return nullptr;
    Py_ssize_t i = 0;
    for (const zelvo::MapEntry& e : use.names()) {
      PyRef name = text_to_host(e.key.view());
      if (!name) return nullptr;
      PyTuple_SET_ITEM(out.get(), i++, name.release());
    }
    return out.release();
  });
}

PyObject* policy_id(PyObject* self, void*) {
  return at_boundary([&]() -> PyObject* { return PyLong_FromUnsignedLongLong(policy_id_of(state_of(self))); });
}

PyObject* replayer_repr(PyObject* self) {
  const ReplayerState& st = state_of(self);
  const std::string name(st.policy.name.view());
  return PyUnicode_FromFormat("<Replayer policy='%s' events=%llu>", name.c_str(),
                              static_cast<unsigned long long>(st.timed ? st.timed->engine.event_count() : 0));
}

PyMethodDef g_methods[] = {
    bound_method("evaluate_at", evaluate_at,
     "evaluate_at($self, ts_ms, event_type, fields=None) -> dict\n--\n\n"
     "Evaluates one event at ts_ms (milliseconds since 1970): PolicyEngine.evaluate's result."),
    bound_method("explain_at", explain_at,
     "explain_at($self, ts_ms, event_type, fields=None) -> dict\n--\n\n"
     "The explanation of the event at ts_ms on the current state (docs/testing.md); changes nothing."),
    bound_method("set_context", set_context,
     "set_context($self, key, value)\n--\n\nStores a context value."),
    bound_method("set_config", set_config,
     "set_config($self, key, value)\n--\n\nStores a configuration value."),
    bound_method("reset", reset,
     "reset($self, ts_ms)\n--\n\nStarts monitoring again at ts_ms: monitors, windows and the count reset."),
    {"status", status, METH_NOARGS, "status($self) -> str\n--\n\nThe engine's five-line status."},
    {"save_state", save_state, METH_NOARGS,
     "save_state($self) -> bytes\n--\n\nThe engine's state (windows, monitors, event count), bound to the policy."},
    bound_method("restore_state", restore_state,
     "restore_state($self, data)\n--\n\nReplaces the engine's state by saved bytes of the same policy; "
     "raises ValueError and changes nothing when they are refused."),
    bound_method("holds_state", holds_state,
     "holds_state($self, ts_ms) -> bool\n--\n\nTrue when dropping the engine could change a verdict at ts_ms."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"event_count", event_count, nullptr, "Events evaluated since the engine was built or reset.", nullptr},
    {"policy_name", policy_name, nullptr, "The policy's name.", nullptr},
    {"policy_id", policy_id, nullptr, "The id that saved states of this policy carry.", nullptr},
    {"read_fields", read_fields, nullptr,
     "The top-level event fields the policy can read (a tuple), or None when it reads the whole event.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(replayer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(replayer_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(replayer_repr)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_doc, const_cast<char*>("Replayer(policy)\n--\n\nOne engine evaluated at the times the caller gives: "
                                  "built at the first evaluate_at or reset.")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "korvanthel_tools._native.Replayer",
    sizeof(ReplayerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

}  // namespace

int add_replayer(PyObject* module) {
  const HostOptions options{"korvanthel_tools._native.InternalFault", false};
  if (!init_host(options)) return -1;
  // Raised for a fault inside the engine (memory exhausted), as by PolicyEngine.
  if (PyModule_AddObjectRef(module, "InternalFault", internal_fault_type()) < 0) return -1;
  PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &g_spec, nullptr));
  if (!type || PyModule_AddObjectRef(module, "Replayer", type.get()) < 0) return -1;
  return 0;
}

}  // namespace korvanthel::tools
