// The one place that reads the interpreter's layout of a dict's table.
#define PY_SSIZE_T_CLEAN
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#include <internal/pycore_dict.h>

#include "dict_template.h"

#include <new>

#include "errors.h"

namespace korvanthel {
namespace {

// The entries of `dict`'s table when it is a combined table of str keys
// whose first entries are `keys`, in order, and which holds nothing else.
PyDictUnicodeEntry* entries_of(PyObject* dict, std::span<PyObject* const> keys) noexcept {
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  PyDictKeysObject* table = d->ma_keys;
  if (!PyDict_CheckExact(dict) || d->ma_values != nullptr || !DK_IS_UNICODE(table) ||
      table->dk_nentries != static_cast<Py_ssize_t>(keys.size()) || d->ma_used != table->dk_nentries) {
    return nullptr;
  }
  return DK_UNICODE_ENTRIES(table);
}

bool laid_out_as(PyObject* dict, std::span<PyObject* const> keys) noexcept {
  PyDictUnicodeEntry* entries = entries_of(dict, keys);
  if (entries == nullptr) return false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (entries[i].me_key != keys[i] || entries[i].me_value == nullptr) return false;
  }
  return true;
}

}  // namespace

bool DictTemplate::make(std::span<PyObject* const> keys, std::span<PyObject* const> values) noexcept {
  if (dict_ != nullptr) return true;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* value = i < values.size() && values[i] != nullptr ? values[i] : Py_None;
    if (PyDict_SetItem(dict.get(), keys[i], value) < 0) return false;
  }
  PyRef copy = PyRef::steal(PyDict_Copy(dict.get()));
  if (!copy) return false;
  keys_ = keys;
  in_place_ = laid_out_as(copy.get(), keys) && !PyObject_GC_IsTracked(copy.get());
  dict_ = dict.release();
  return true;
}

Filling::Filling(const DictTemplate& t)
    : template_(t), dict_(PyRef::steal(made(PyDict_Copy(t.dict())))), in_place_(false) {
  // Checked for each copy too, which costs a few loads: the fill must never
  // write past a table that is not the one it expects.
  in_place_ = t.fills_in_place() && entries_of(dict_.get(), t.keys()) != nullptr;
}

void Filling::set(std::size_t i, PyRef value) {
  if (!in_place_) {
    if (PyDict_SetItem(dict_.get(), template_.keys()[i], value.get()) < 0) throw std::bad_alloc();
    return;
  }
  holds_containers_ = holds_containers_ || PyObject_IS_GC(value.get());
  PyDictUnicodeEntry& entry = DK_UNICODE_ENTRIES(reinterpret_cast<PyDictObject*>(dict_.get())->ma_keys)[i];
  PyObject* old = entry.me_value;
  entry.me_value = value.release();
  // The value replaced is the template's, which the template still holds:
  // this never frees it, so it runs no host code.
  Py_DECREF(old);
}

PyRef Filling::finish() noexcept {
  if (in_place_ && holds_containers_ && !PyObject_GC_IsTracked(dict_.get())) PyObject_GC_Track(dict_.get());
  return std::move(dict_);
}

}  // namespace korvanthel
