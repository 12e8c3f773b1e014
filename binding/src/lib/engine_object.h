// The PolicyEngine host class: its instance layout and its members.
//
// An instance owns an EngineState outright: the policy's name (read without
// the lock) and the EngineCell (the core behind its lock). Instances are made
// only by the factories from_file/from_bytes/from_json; calling the class
// raises TypeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine_cell.h"
#include "model/policy.h"
#include "model/str.h"

namespace korvanthel {

struct EngineState {
  explicit EngineState(zelvo::CompiledPolicy policy) : policy_name(policy.name), cell(std::move(policy)) {}
  const zelvo::Str policy_name;
  EngineCell cell;
};

struct EngineObject {
  PyObject_HEAD
  EngineState* state;  // owned; never null once the factory has returned the object
};

inline EngineState& state_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->state; }

// Creates the class once per process; the same class serves every later
// initialisation of the module. Returns a borrowed reference or nullptr with
// an exception set.
PyObject* engine_type() noexcept;

// A new instance owning an engine built from `policy` (a new reference).
PyObject* new_engine_object(zelvo::CompiledPolicy policy);

// The members, each a METH_FASTCALL | METH_KEYWORDS function (static ones get
// a null `self`), or METH_NOARGS for reset/status.
PyObject* engine_from_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_from_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_from_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_evaluate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_set_context(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_set_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_reset(PyObject* self, PyObject* unused);
PyObject* engine_status(PyObject* self, PyObject* unused);
PyObject* engine_policy_name(PyObject* self, void* closure);
PyObject* engine_event_count(PyObject* self, void* closure);
PyObject* engine_repr(PyObject* self);

}  // namespace korvanthel
