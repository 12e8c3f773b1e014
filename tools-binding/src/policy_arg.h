// A policy argument from Python, loaded through the one loader
// (zelvo-compiler/src/load/policy_loader.h), and the one mapping of its
// errors to Python exceptions.
//
//   bytes: a .zelvoc container (other bytes are refused as a container);
//   str:   policy JSON or policy source, told apart by content.
//
// Errors: a container -> RuntimeError "Failed to parse policy bytes: ...",
// policy JSON -> ValueError "Invalid policy JSON: ...", as
// PolicyEngine.from_bytes / from_json raise them; a source that does not
// compile -> CompileError with its diagnostics.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "load/policy_loader.h"
#include "model/expected.h"

namespace korvanthel::tools {

struct PolicyArg {
  bool is_text = false;
  std::string data;
};

// Copies the argument; TypeError (naming `policy`) for other types.
bool read_policy_arg(PyObject* obj, PolicyArg& out);

// Loads the policy (a source without its source map: these callers only
// run it); touches no Python object, so it may run without the
// interpreter lock.
zelvo::Expected<zelvo::lang::LoadedPolicy, zelvo::lang::PolicyLoadError> load_policy_arg(
    const PolicyArg& arg, std::string_view filename);

// Sets the Python exception for `error` (with the lock held); returns nullptr.
PyObject* raise_policy_load_error(PyObject* module, const zelvo::lang::PolicyLoadError& error);

}  // namespace korvanthel::tools
