// The members of PolicyEngine that call into the core: evaluate, the two
// setters, reset and status. Each converts its input before taking the
// engine lock and builds its host result after releasing it.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "host/arg_binder.h"
#include "engine_object.h"
#include "event/event.h"
#include "host/host.h"
#include "test_hooks.h"

namespace korvanthel {
namespace {

constexpr std::array<Param, 2> kEvaluateParams = {{
    {"event_type", ParamType::String},
    {"fields", ParamType::DictOrNone, false},
}};
constexpr std::array<Param, 2> kSetterParams = {{
    {"key", ParamType::String},
    {"value", ParamType::Any},
}};
constexpr Signature kEvaluate = {"PolicyEngine.evaluate()", kEvaluateParams};
constexpr Signature kSetContext = {"PolicyEngine.set_context()", kSetterParams};
constexpr Signature kSetConfig = {"PolicyEngine.set_config()", kSetterParams};

enum class Store { Context, Config };

// evaluate's usual call, (ASCII str, dict or None) by position, bound as the
// binder binds it, without its general walk over the signature. False for
// every other call, which the binder then takes (and refuses or binds).
bool bind_usual_evaluate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::array<BoundArg, 2>& bound) noexcept {
  if (kwnames != nullptr || nargs != 2) return false;
  PyObject* type = args[0];
  PyObject* fields = args[1];
  if (!PyUnicode_CheckExact(type) || !PyUnicode_IS_COMPACT_ASCII(type)) return false;
  if (fields != Py_None && !PyDict_Check(fields)) return false;
  bound[0].object = type;
  bound[0].text = std::string_view(static_cast<const char*>(PyUnicode_DATA(type)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(type)));
  bound[1].object = fields == Py_None ? nullptr : fields;
  return true;
}

PyObject* set_value(const Signature& sig, Store store, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 2> bound;
    if (!bind_arguments(sig, args, nargs, kwnames, bound)) return nullptr;
    zelvo::Value value;
    if (!value_from_host(bound[1].object, value)) return nullptr;
    zelvo::Str key(bound[0].text);
    const bool stored = state_of(self).cell.with_core([&](zelvo::PolicyEngine& core) {
      if (store == Store::Context) {
        core.set_context(std::move(key), std::move(value));
      } else {
        core.set_config(std::move(key), std::move(value));
      }
    });
    if (!stored) return raise_error(ErrorKind::Poisoned);
    Py_RETURN_NONE;
  });
}

}  // namespace

PyObject* engine_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 2> bound;
    if (!bind_usual_evaluate(args, nargs, kwnames, bound) && !bind_arguments(kEvaluate, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    CallScratch scratch;       // the event map and result record, reused
    BorrowedTexts borrows;     // released after the event, which refers to them
    FieldPositions positions;  // where the fields rules read land, so that they need not search
    // The timestamp is set by the engine from the reading that starts its
    // stopwatch (one clock read for both): the wall-clock time at which the
    // engine takes up the event.
    EngineCell& cell = state_of(self).cell;
    // A policy that reads no field keeps none: the event's map stays empty
    // and the thread's reused one is not taken.
    const KeptFields& kept = cell.kept_fields();
    const bool keeps_fields = kept.count() != 0 || kept.reads_all();
    zelvo::Event event{zelvo::Str(bound[0].text), keeps_fields ? scratch.take_fields() : zelvo::ValueMap(), 0, {}};
    if (!fields_to_event(bound[1].object, kept, borrows, positions, event)) return nullptr;
    zelvo::EvalResult& result = scratch.result();
    const bool ran = cell.with_core([&](zelvo::PolicyEngine& core) {
      test_hooks::before_evaluate(event.event_type.view());
      core.evaluate_now(event, result);
    });
    if (!ran) return raise_error(ErrorKind::Poisoned);
    PyRef out = result_to_host(result);
    if (keeps_fields) scratch.keep_fields(std::move(event.fields));
    return out.release();
  });
}

PyObject* engine_set_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return set_value(kSetContext, Store::Context, self, args, nargs, kwnames);
}

PyObject* engine_set_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return set_value(kSetConfig, Store::Config, self, args, nargs, kwnames);
}

PyObject* engine_reset(PyObject* self, PyObject*) {
  return at_boundary([&]() -> PyObject* {
    if (!state_of(self).cell.with_core([](zelvo::PolicyEngine& core) { core.reset(); })) {
      return raise_error(ErrorKind::Poisoned);
    }
    Py_RETURN_NONE;
  });
}

PyObject* engine_status(PyObject* self, PyObject*) {
  return at_boundary([&]() -> PyObject* {
    std::string text;
    if (!state_of(self).cell.with_core([&](zelvo::PolicyEngine& core) { text = core.status(); })) {
      return raise_error(ErrorKind::Poisoned);
    }
    return text_to_host(text).release();
  });
}

}  // namespace korvanthel
