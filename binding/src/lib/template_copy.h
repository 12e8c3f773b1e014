// Filling a fresh copy of a result template without looking its keys up.
//
// PyDict_Copy of a template (keys.h) yields a dict whose entries are the
// template's, in the template's order, in one combined table. On the
// interpreter this module is built for, the value of entry i of such a copy
// can be replaced in place, which skips the hash lookup of PyDict_SetItem.
// Whether the copy is laid out as expected is checked once, on the real
// templates, at module initialisation; if it is not (another interpreter
// version), every store goes through PyDict_SetItem instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace korvanthel {

// Checks the layout of a copy of `templ` against its keys (`keys[i]` is the
// key of entry i) and turns the direct stores on if it matches. Returns
// false with an exception set only if the probe copy cannot be made.
bool probe_template_layout(PyObject* templ, PyObject* const* keys, std::size_t count) noexcept;

// Stores `value` (a new reference, stolen) as entry `position` of `copy`, a
// dict fresh from PyDict_Copy of a template and not yet seen by host code;
// `key` is that entry's key. Returns false (with the reference released)
// only when the host fails to store it.
bool store_in_copy(PyObject* copy, std::size_t position, PyObject* key, PyObject* value) noexcept;

}  // namespace korvanthel
