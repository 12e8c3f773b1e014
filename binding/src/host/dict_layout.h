// Reading and writing a dict through the interpreter's own layout of its
// table (CPython 3.11), where the C API's calls would search the table or
// cost a call per item. Only dict_layout.cc sees that layout.
//
// The layout is the one of the headers the module was compiled with. When
// the module is initialised, verify() checks it against the interpreter that
// loaded it; if they disagree, next() is PyDict_Next and no dict is ever
// found to have plain entries, so nothing is read or written in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

namespace korvanthel::dict_layout {

// Checks the layout (see above); needs the interpreter lock. False (with no
// exception set) only when dicts are not laid out as compiled, or when the
// check could not be made: either way, the C API is used from then on.
bool verify() noexcept;
// What the last verify() found (false before the first).
bool verified() noexcept;

// PyDict_Next, reading the table in place: the same items at the same
// positions (`pos` starts at 0), for every dict.
bool next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept;

// Whether `dict` (an exact dict) has a combined table of str keys with
// exactly `count` entries, none of them removed.
bool has_plain_entries(PyObject* dict, std::size_t count) noexcept;

// has_plain_entries(dict, keys.size()), and entry i holds keys[i].
bool holds_in_order(PyObject* dict, std::span<PyObject* const> keys) noexcept;

// The value stored in entry i of a dict for which has_plain_entries holds
// (a strong reference, owned by the dict).
PyObject*& entry_value(PyObject* dict, std::size_t i) noexcept;

}  // namespace korvanthel::dict_layout
