// The one table of the binding's own exceptions.
#include "errors.h"

#include "py_ref.h"

namespace korvanthel {
namespace {

PyObject* g_internal_fault = nullptr;  // strong reference for the process's lifetime

struct ErrorRow {
  PyObject* (*type)();
  const char* prefix;
};

PyObject* type_error() { return PyExc_TypeError; }
PyObject* file_not_found_error() { return PyExc_FileNotFoundError; }
PyObject* runtime_error() { return PyExc_RuntimeError; }
PyObject* value_error() { return PyExc_ValueError; }
PyObject* recursion_error() { return PyExc_RecursionError; }
PyObject* fault_error() { return g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError; }

ErrorRow row_of(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Binding: return {type_error, ""};
    case ErrorKind::NoConstructor: return {type_error, "No constructor defined for "};
    case ErrorKind::NotConvertible: return {type_error, ""};
    case ErrorKind::FileNotFound: return {file_not_found_error, "Policy file not found: "};
    case ErrorKind::LoadFile: return {runtime_error, "Failed to load policy: "};
    case ErrorKind::LoadBytes: return {runtime_error, "Failed to parse policy bytes: "};
    case ErrorKind::InvalidJson: return {value_error, "Invalid policy JSON: "};
    case ErrorKind::Poisoned: return {runtime_error, "Engine lock poisoned"};
    case ErrorKind::NestingTooDeep: return {recursion_error, ""};
    case ErrorKind::InternalFault: return {fault_error, ""};
  }
  return {fault_error, ""};
}

}  // namespace

bool init_errors(const char* internal_fault_name) noexcept {
  if (g_internal_fault != nullptr) return true;
  g_internal_fault = PyErr_NewExceptionWithDoc(
      internal_fault_name,
      "An unexpected fault inside the native core (for instance, memory exhausted).\n\n"
      "Derives from BaseException so that `except Exception` does not swallow it. A fault\n"
      "raised while an engine's lock is held poisons that engine.",
      PyExc_BaseException, nullptr);
  return g_internal_fault != nullptr;
}

PyObject* internal_fault_type() noexcept { return g_internal_fault; }

PyObject* raise_error(ErrorKind kind, PyObject* detail) noexcept {
  const ErrorRow row = row_of(kind);
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U", row.prefix, detail));
  if (message) PyErr_SetObject(row.type(), message.get());
  return nullptr;
}

PyObject* raise_error(ErrorKind kind, std::string_view detail) noexcept {
  // "replace": a detail is our own UTF-8 text or an operating-system text
  // that might not be; either way the exception must be raised.
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(detail.data(), static_cast<Py_ssize_t>(detail.size()), "replace"));
  if (!text) return nullptr;
  return raise_error(kind, text.get());
}

PyObject* raise_not_convertible(PyObject* obj, const char* target, const char* argument) noexcept {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) return nullptr;
  PyRef detail = PyRef::steal(
      argument != nullptr
          ? PyUnicode_FromFormat("argument '%s': '%U' object cannot be converted to '%s'", argument,
                                 type_name.get(), target)
          : PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", type_name.get(), target));
  if (!detail) return nullptr;
  return raise_error(ErrorKind::NotConvertible, detail.get());
}

}  // namespace korvanthel
