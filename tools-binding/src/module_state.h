// The per-module state of korvanthel_tools._native: the classes and
// exceptions its features make, held here rather than in globals so that
// every interpreter that imports the module has its own.
//
// A feature that adds a class keeps it in a field of its own; module.cc
// visits and clears every field.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvanthel::tools {

struct ModuleState {
  PyObject* compile_error = nullptr;    // CompileError (a ValueError)
  PyObject* diagnostic_type = nullptr;  // Diagnostic (a struct sequence)
};

inline ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

}  // namespace korvanthel::tools
