// Diagnostics as host objects, and the CompileError that carries them.
//
// Diagnostic is a struct sequence (a named tuple made in C):
//   (level, code, file, line, column, message, hint)
// and, by name only, `rendered` (render() of it: place, excerpt, caret, hint).
// with level "error" or "warning", line and column 1-based (the column in
// characters). str() of a CompileError is the rendered text of all its
// diagnostics; its `diagnostics` attribute is the list.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "diag/diagnostic.h"
#include "module_state.h"

namespace korvanthel::tools {

// Makes the Diagnostic and CompileError classes, keeps them in `st` and
// adds them to `module`. Returns 0, or -1 with an exception set.
int add_diagnostic_classes(PyObject* module, ModuleState* st);

// A new list of Diagnostic objects, or nullptr with an exception set.
PyObject* diagnostics_to_list(ModuleState* st, const std::vector<zelvo::lang::Diagnostic>& ds);

// Sets CompileError for `ds`; always returns nullptr.
PyObject* raise_compile_error(ModuleState* st, const std::vector<zelvo::lang::Diagnostic>& ds);

}  // namespace korvanthel::tools
