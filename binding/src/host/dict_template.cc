// Templates and their fillings (see dict_template.h).
#include "dict_template.h"

#include <new>

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
  keys_ = keys;
  dict_ = dict.release();
  return true;
}

Filling::Filling(const DictTemplate& t) : template_(t), dict_(PyRef::steal(made(PyDict_Copy(t.dict())))) {}

void Filling::set(std::size_t i, PyRef value) {
  if (PyDict_SetItem(dict_.get(), template_.keys()[i], value.get()) < 0) throw std::bad_alloc();
}

}  // namespace korvanthel
