// Walking a dict's items, the one place the binding may read an
// interpreter object's private layout.
//
// next() is PyDict_Next. In builds for CPython 3.11 with the interpreter
// lock (the fence of dict_fence.h) it can also run PyDict_Next's own loop over the
// table in place, without a call per item: that reads the 3.11 layout of a
// dict's keys table, which is not part of the C API. Every other build
// compiles only the public path. Nothing here ever writes to a dict.
//
// The in-place reading is used only when enable() found the running
// interpreter to be the minor version the module was compiled for (3.11;
// checked with Py_Version and the size of the dict type, which reads no
// dict), and the caller did not ask for the public path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "dict_fence.h"

namespace korvanthel::dict_layout {

// Decides whether next() reads in place (see above); needs the interpreter
// lock. Returns that decision.
bool enable(bool public_api_only) noexcept;
// The last decision of enable() (false before the first).
bool in_place() noexcept;

// PyDict_Next: the same items at the same positions (`pos` starts at 0),
// for every dict and dict subclass.
bool next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept;

// One item as next() hands it out, with the position next() leaves after it.
struct Item {
  PyObject* key;
  PyObject* value;
  Py_ssize_t after;
};

// Up to `room` items from `pos` on, each exactly what successive next()
// calls would give, in one call; `pos` is left after the last one. Fewer
// than `room` (0 at the end) only at the end of the dict. The items are
// borrowed: they stay valid only while no host code runs (host code may
// change or free the dict's entries), so a caller that runs host code
// before using them all takes the rest afresh from the position after the
// last item it used.
int gather(PyObject* dict, Py_ssize_t* pos, Item* items, int room) noexcept;

}  // namespace korvanthel::dict_layout
