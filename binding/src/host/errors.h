// The binding's failures and the host exceptions they become.
//
// Every exception the module raises on its own account is made by
// raise_error from one table (errors.cc): the kind fixes the exception type
// and the message prefix, the caller supplies only the detail. Exceptions
// raised by host code that the binding calls (str(), encoding errors) pass
// through unchanged and never come here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

namespace korvanthel {

enum class ErrorKind {
  Binding,         // TypeError: a binder text ("PolicyEngine.evaluate() missing ...")
  NoConstructor,   // TypeError "No constructor defined for {}"
  NotConvertible,  // TypeError "'{}' object cannot be converted to '{}'" (optionally "argument '{}': " first)
  FileNotFound,    // FileNotFoundError "Policy file not found: {}"
  LoadFile,        // RuntimeError "Failed to load policy: {}"
  LoadBytes,       // RuntimeError "Failed to parse policy bytes: {}"
  InvalidJson,     // ValueError "Invalid policy JSON: {}"
  Poisoned,        // RuntimeError "Engine lock poisoned"
  NestingTooDeep,  // RecursionError for host values nested or cyclic beyond the conversion limit
  InternalFault,   // InternalFault (derives from BaseException): the fault's own text
};

// Creates the internal-fault exception class under `internal_fault_name`
// ("_korvanthel_core.InternalFault"). Called from init_host(); false with
// an exception set on failure.
bool init_errors(const char* internal_fault_name) noexcept;

// The internal-fault class: a direct subclass of BaseException,
// deliberately not an attribute of the module.
PyObject* internal_fault_type() noexcept;

// Sets the exception of `kind` with its prefix followed by `detail` (UTF-8).
// Always returns nullptr, so that callers can `return raise_error(...)`.
PyObject* raise_error(ErrorKind kind, std::string_view detail = {}) noexcept;
// The same with a host str as the detail (for texts that may hold any code
// point, such as a keyword the caller made up).
PyObject* raise_error(ErrorKind kind, PyObject* detail) noexcept;

// Raises NotConvertible for `obj`, naming its type's qualified name and
// `target` ("PyString", "PyBytes", "PyDict"); with `argument`, the message
// starts with "argument '{argument}': ".
PyObject* raise_not_convertible(PyObject* obj, const char* target, const char* argument = nullptr) noexcept;

// The boundary of every member: runs `body` (which returns a new reference
// or nullptr with an exception set) and turns any C++ exception escaping it
// into the internal-fault exception with the exception's text.
template <typename Body>
PyObject* at_boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& fault) {
    return raise_error(ErrorKind::InternalFault, fault.what());
  } catch (...) {
    return raise_error(ErrorKind::InternalFault, "unknown internal fault");
  }
}

// Turns the failure of a host call that can only fail for want of memory
// into a C++ exception, so that at_boundary reports it as an internal fault.
inline PyObject* made(PyObject* obj) {
  if (obj == nullptr) throw std::bad_alloc();
  return obj;
}

}  // namespace korvanthel
