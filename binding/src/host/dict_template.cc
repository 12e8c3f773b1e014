// Templates and their fillings (see dict_template.h).
#include "dict_template.h"

#include <new>

#include "dict_layout.h"
#include "errors.h"

namespace korvanthel {

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
  in_place_ = dict_layout::holds_in_order(copy.get(), keys) && !PyObject_GC_IsTracked(copy.get());
  dict_ = dict.release();
  return true;
}

Filling::Filling(const DictTemplate& t)
    : template_(t), dict_(PyRef::steal(made(PyDict_Copy(t.dict())))), in_place_(false) {
  // Checked for each copy too, which costs a few loads: the fill must never
  // write past a table that is not the one it expects.
  in_place_ = t.fills_in_place() && dict_layout::has_plain_entries(dict_.get(), t.keys().size());
}

void Filling::set(std::size_t i, PyRef value) {
  if (!in_place_) {
    if (PyDict_SetItem(dict_.get(), template_.keys()[i], value.get()) < 0) throw std::bad_alloc();
    return;
  }
  holds_containers_ = holds_containers_ || PyObject_IS_GC(value.get());
  PyObject*& slot = dict_layout::entry_value(dict_.get(), i);
  PyObject* old = slot;
  slot = value.release();
  // The value replaced is the template's, which the template still holds:
  // this never frees it, so it runs no host code.
  Py_DECREF(old);
}

PyRef Filling::finish() noexcept {
  if (in_place_ && holds_containers_ && !PyObject_GC_IsTracked(dict_.get())) PyObject_GC_Track(dict_.get());
  return std::move(dict_);
}

}  // namespace korvanthel
