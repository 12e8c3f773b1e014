#include "value_to_host.h"

#include "errors.h"
#include "str_cache.h"

namespace korvanthel {
namespace {

PyRef list_to_host(const zelvo::ValueList& items) {
  PyRef list = PyRef::steal(made(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value_to_host(items[i]).release());
  }
  return list;
}

}  // namespace

PyRef map_to_host(const zelvo::ValueMap& entries) {
  PyRef dict = PyRef::steal(made(PyDict_New()));
  for (const zelvo::MapEntry& entry : entries) {
    PyRef key = str_to_host(entry.key);
    PyRef value = value_to_host(entry.value);
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw std::bad_alloc();
  }
  return dict;
}

PyRef text_to_host(std::string_view text) {
  // The runtime hands out valid UTF-8; "replace" keeps this total regardless.
  return PyRef::steal(made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
}

PyRef value_to_host(const zelvo::Value& value) {
  using Kind = zelvo::Value::Kind;
  switch (value.kind()) {
    case Kind::Null: return PyRef::borrow(Py_None);
    case Kind::Bool: return PyRef::borrow(value.as_bool() ? Py_True : Py_False);
    case Kind::Int: return PyRef::steal(made(PyLong_FromLongLong(value.as_int())));
    case Kind::Float: return PyRef::steal(made(PyFloat_FromDouble(value.as_float())));
    case Kind::String: return str_to_host(value.as_string());
    case Kind::Duration: return PyRef::steal(made(PyLong_FromUnsignedLongLong(value.as_duration())));
    case Kind::List: return list_to_host(value.as_list());
    case Kind::Map: return map_to_host(value.as_map());
  }
  return PyRef::borrow(Py_None);
}

}  // namespace korvanthel
