#include "host_text.h"

#include "host/errors.h"

namespace korvanthel::tools {

bool str_argument(PyObject* obj, const char* param, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    korvanthel::raise_not_convertible(obj, "PyString", param);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool text_argument(PyObject* obj, const char* param, std::string_view& out, bool* is_bytes) {
  if (PyBytes_Check(obj)) {
    out = std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    if (is_bytes != nullptr) *is_bytes = true;
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str or bytes, not %.200s", param, Py_TYPE(obj)->tp_name);
    return false;
  }
  if (is_bytes != nullptr) *is_bytes = false;
  return str_argument(obj, param, out);
}

bool flag_argument(PyObject* obj, bool& out) {
  if (obj == nullptr) {
    out = false;
    return true;
  }
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

}  // namespace korvanthel::tools
