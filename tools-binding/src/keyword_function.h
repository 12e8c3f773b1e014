// KV_FUNCTION(f): a C function taking (self, args, nargs, kwnames), as the
// PyCFunction that a PyMethodDef entry with METH_FASTCALL | METH_KEYWORDS
// stores (its arguments read by host/arg_binder.h). The cast goes through void (*)() so that the compiler does not
// warn about the differing signatures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define KV_FUNCTION(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))
