// The one file that reads the interpreter's layout of a dict's table.
#define PY_SSIZE_T_CLEAN
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#include <internal/pycore_dict.h>

#include "dict_layout.h"

namespace korvanthel::dict_layout {
namespace {

PyDictObject* as_dict(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict); }

// Set once by verify(), before any dict is read in place.
bool g_verified = false;

// Walks `dict` with next() and with PyDict_Next: the same items in the same
// order.
bool walks_alike(PyObject* dict) noexcept {
  Py_ssize_t a = 0;
  Py_ssize_t b = 0;
  PyObject* ka = nullptr;
  PyObject* va = nullptr;
  PyObject* kb = nullptr;
  PyObject* vb = nullptr;
  while (true) {
    const bool more_a = next(dict, &a, &ka, &va);
    const bool more_b = PyDict_Next(dict, &b, &kb, &vb) != 0;
    if (more_a != more_b) return false;
    if (!more_a) return true;
    if (a != b || ka != kb || va != vb) return false;
  }
}

}  // namespace

bool verify() noexcept {
  // Dicts read as they would be once trusted, against the C API's own
  // reading: one with a removed entry in the middle, walked, and one built
  // from scratch, whose entries are found where they were put.
  g_verified = true;  // tentatively, so that the readings below are made in place
  PyObject* holed = Py_BuildValue("{s:i,s:i,s:i}", "a", 1, "b", 2, "c", 3);
  PyObject* plain = PyDict_New();
  PyObject* x = PyUnicode_InternFromString("x");
  PyObject* y = PyUnicode_InternFromString("y");
  bool ok = holed != nullptr && plain != nullptr && x != nullptr && y != nullptr &&
            PyDict_DelItemString(holed, "b") == 0 && PyDict_SetItem(plain, x, Py_True) == 0 &&
            PyDict_SetItem(plain, y, Py_False) == 0;
  if (ok) {
    PyObject* const keys[] = {x, y};
    // The header first: entries are read only where it is as compiled.
    const PyDictKeysObject* table = as_dict(plain)->ma_keys;
    // A new dict of two keys has the smallest table: 8 slots of one-byte
    // indices, so 2**3 bytes of them.
    ok = has_plain_entries(plain, 2) && table->dk_log2_size == 3 && table->dk_log2_index_bytes == 3 &&
         walks_alike(plain) && walks_alike(holed) &&
         !has_plain_entries(holed, 3) &&
         holds_in_order(plain, keys) && entry_value(plain, 0) == Py_True && entry_value(plain, 1) == Py_False;
  }
  if (PyErr_Occurred()) PyErr_Clear();
  Py_XDECREF(holed);
  Py_XDECREF(plain);
  Py_XDECREF(x);
  Py_XDECREF(y);
  g_verified = ok;
  return ok;
}

bool verified() noexcept { return g_verified; }

bool next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept {
  PyDictObject* d = as_dict(dict);
  PyDictKeysObject* table = d->ma_keys;
  // A combined table of str keys, as every dict of str keys built by
  // literal or by item assignment has: the loop of _PyDict_Next for it.
  if (g_verified && d->ma_values == nullptr && DK_IS_UNICODE(table) && *pos >= 0) {
    const Py_ssize_t n = table->dk_nentries;
    const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(table);
    Py_ssize_t i = *pos;
    while (i < n && entries[i].me_value == nullptr) ++i;
    if (i >= n) return false;
    *key = entries[i].me_key;
    *value = entries[i].me_value;
    *pos = i + 1;
    return true;
  }
  return PyDict_Next(dict, pos, key, value) != 0;
}

bool has_plain_entries(PyObject* dict, std::size_t count) noexcept {
  PyDictObject* d = as_dict(dict);
  const PyDictKeysObject* table = d->ma_keys;
  return g_verified && PyDict_CheckExact(dict) && d->ma_values == nullptr && DK_IS_UNICODE(table) &&
         table->dk_nentries == static_cast<Py_ssize_t>(count) && d->ma_used == table->dk_nentries;
}

bool holds_in_order(PyObject* dict, std::span<PyObject* const> keys) noexcept {
  if (!has_plain_entries(dict, keys.size())) return false;
  const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(as_dict(dict)->ma_keys);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (entries[i].me_key != keys[i] || entries[i].me_value == nullptr) return false;
  }
  return true;
}

PyObject*& entry_value(PyObject* dict, std::size_t i) noexcept {
  return DK_UNICODE_ENTRIES(as_dict(dict)->ma_keys)[i].me_value;
}

}  // namespace korvanthel::dict_layout
