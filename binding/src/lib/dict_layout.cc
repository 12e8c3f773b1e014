// The one file that reads the interpreter's layout of a dict's table.
#define PY_SSIZE_T_CLEAN
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#include <internal/pycore_dict.h>

#include "dict_layout.h"

namespace korvanthel::dict_layout {
namespace {

PyDictObject* as_dict(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict); }

}  // namespace

bool next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept {
  PyDictObject* d = as_dict(dict);
  PyDictKeysObject* table = d->ma_keys;
  // A combined table of str keys, as every dict of str keys built by
  // literal or by item assignment has: the loop of _PyDict_Next for it.
  if (d->ma_values == nullptr && DK_IS_UNICODE(table) && *pos >= 0) {
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
  return PyDict_CheckExact(dict) && d->ma_values == nullptr && DK_IS_UNICODE(table) &&
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
