// Explanations from Python: explain_events (add_explain).
//
// explain_events(policy, steps, *, filename='<source>') runs `steps` on a
// fresh engine in event time and returns, for each event, the result
// evaluate gave and the explanation of that event on the state the engine
// had just before it. The policy is source text (compiled here; the
// explanation then carries spans), policy JSON text, or container bytes.
#define PY_SSIZE_T_CLEAN
#include <array>
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "compiler.h"
#include "container/container.h"
#include "diagnostic_objects.h"
#include "event_lines.h"
#include "engine/clock.h"
#include "engine/engine.h"
#include "explain/explain.h"
#include "explain_to_host.h"
#include "host/arg_binder.h"
#include "host/errors.h"
#include "host/host.h"
#include "host_text.h"
#include "model/json_decoder.h"
#include "module_state.h"
#include "parts.h"
#include "policy_arg.h"
#include "py_ref.h"

namespace korvanthel::tools {
namespace {

struct LoadedPolicy {
  zelvo::CompiledPolicy policy;
  std::optional<zelvo::lang::SourceMap> map;
};

// Loads the policy through the one loader (any form, by content); false
// with the loader's exception set.
bool load(PyObject* module, std::string_view data, std::string_view filename, LoadedPolicy& out) {
  auto loaded = zelvo::lang::load_policy_any(data, filename);
  if (!loaded) return raise_policy_load_error(module, loaded.error()) != nullptr;
  out.policy = std::move(loaded.value().policy);
  out.map = std::move(loaded.value().source_map);
  return true;
}

// A value of a step's dict, or nullptr when absent or None (borrowed).
PyObject* item(PyObject* step, const char* key) {
  PyObject* v = PyDict_GetItemString(step, key);
  return v == Py_None ? nullptr : v;
}

PyObject* step_error(Py_ssize_t i, const char* what) {
  PyErr_Format(PyExc_ValueError, "step %zd: %s", i, what);
  return nullptr;
}

// Stores every entry of `dict` through `store(key, value)`.
template <typename Store>
bool store_all(PyObject* dict, Py_ssize_t i, const char* what, Store store) {
  if (!PyDict_Check(dict)) return step_error(i, what) != nullptr;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    std::string_view k;
    if (!str_argument(key, "key", k)) return false;
    zelvo::Value v;
    if (!korvanthel::value_from_host(value, v)) return false;
    store(zelvo::Str(k), std::move(v));
  }
  return true;
}

bool read_ts(PyObject* step, Py_ssize_t i, std::uint64_t& ts) {
  PyObject* t = item(step, "ts");
  if (t == nullptr) return true;
  const HostTs found = read_host_ts(t, /*texts=*/false, ts);
  if (found == HostTs::Ok) return true;
  if (found == HostTs::NotTime) return step_error(i, "'ts' must be an int (milliseconds)") != nullptr;
  const std::string name = "step " + std::to_string(i) + ": 'ts'";
  return raise_bad_ts(found, t, name.c_str()) != nullptr;
}

constexpr std::array<Param, 3> kExplainParams = {{
    {"policy", ParamType::Any},
    {"steps", ParamType::Any},
    {"filename", ParamType::String, false},
}};
constexpr Signature kExplainEvents = {"explain_events()", kExplainParams, 1};

PyObject* explain_events(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 3> bound;
  if (!bind_keyword_only_arguments(kExplainEvents, args, nargs, kwnames, bound)) return nullptr;
  PyObject* steps = bound[1].object;
  return korvanthel::at_boundary([&]() -> PyObject* {
    std::string_view data;
    if (!text_argument(bound[0].object, "policy", data)) return nullptr;
    const std::string_view name = bound[2].object == nullptr ? std::string_view("<source>") : bound[2].text;
    PyRef seq = PyRef::steal(PySequence_Fast(steps, "explain_events() argument 'steps' must be a list of dicts"));
    if (!seq) return nullptr;
    LoadedPolicy loaded;
    if (!load(module, data, name, loaded)) return nullptr;

    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    // Event time: monitoring starts at the first event's time.
    std::uint64_t start = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* step = PySequence_Fast_GET_ITEM(seq.get(), i);
      if (!PyDict_Check(step) || item(step, "type") == nullptr) continue;
      if (!read_ts(step, i, start)) return nullptr;
      break;
    }
    zelvo::ManualClock clock(start);
    zelvo::PolicyEngine engine(std::move(loaded.policy), clock);
    const zelvo::lang::SourceMap* map = loaded.map ? &*loaded.map : nullptr;

    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* step = PySequence_Fast_GET_ITEM(seq.get(), i);
      if (!PyDict_Check(step)) return step_error(i, "a step must be a dict");
      PyObject* ctx = item(step, "context");
      if (ctx != nullptr && !store_all(ctx, i, "'context' must be a dict", [&](zelvo::Str k, zelvo::Value v) {
            engine.set_context(std::move(k), std::move(v));
          })) {
        return nullptr;
      }
      PyObject* cfg = item(step, "config");
      if (cfg != nullptr && !store_all(cfg, i, "'config' must be a dict", [&](zelvo::Str k, zelvo::Value v) {
            engine.set_config(std::move(k), std::move(v));
          })) {
        return nullptr;
      }
      PyObject* type = item(step, "type");
      if (type == nullptr) continue;  // a step that only sets values
      zelvo::Event event;
      std::string_view type_text;
      if (!str_argument(type, "type", type_text)) return nullptr;
      event.event_type = zelvo::Str(type_text);
      if (!read_ts(step, i, event.timestamp)) return nullptr;
      PyObject* fields = item(step, "fields");
      if (fields != nullptr && !store_all(fields, i, "'fields' must be a dict", [&](zelvo::Str k, zelvo::Value v) {
            event.fields.insert_or_assign(std::move(k), std::move(v));
          })) {
        return nullptr;
      }
      const zelvo::explain::Explanation x = zelvo::explain::explain(engine, event, map);
      const zelvo::EvalResult result = engine.evaluate(event);
      PyRef pair = PyRef::steal(PyDict_New());
      if (!pair) return nullptr;
      PyRef result_obj = korvanthel::result_to_host(result);
      PyRef explanation = explanation_to_host(x);
      PyRef index = PyRef::steal(PyLong_FromSsize_t(i));
      if (!index || PyDict_SetItemString(pair.get(), "step", index.get()) < 0 ||
          PyDict_SetItemString(pair.get(), "result", result_obj.get()) < 0 ||
          PyDict_SetItemString(pair.get(), "explanation", explanation.get()) < 0 ||
          PyList_Append(out.get(), pair.get()) < 0) {
        return nullptr;
      }
    }
    return out.release();
  });
}

PyMethodDef g_functions[] = {
    bound_method("explain_events", explain_events,
     "explain_events(policy, steps, *, filename='<source>')\n--\n\n"
     "Run steps (dicts with optional 'context' and 'config' dicts to set first, then an event: 'type', "
     "'fields', 'ts' in ms) on a fresh engine in event time. Returns one dict per event: 'step' (its "
     "index), 'result' (what evaluate returned) and 'explanation' (of that event on the state just "
     "before it). The policy is source text (explanations then carry spans), policy JSON or container "
     "bytes; source with errors raises CompileError, a policy that does not load ValueError."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_explain(PyObject* module) {
  if (!korvanthel::init_host(korvanthel::HostOptions{"korvanthel_tools._native.InternalFault"})) return -1;
  return PyModule_AddFunctions(module, g_functions);
}

}  // namespace korvanthel::tools
