// The argument binder of every function and method that takes arguments, in
// both extension modules.
//
// Members are METH_FASTCALL | METH_KEYWORDS functions; each declares its
// parameters once as a Signature and calls bind_arguments, which fills one
// BoundArg per parameter or raises the TypeError the host programmer sees.
// The binder uses the public C API only.
//
// Order of checks (the first failure wins): too many positional arguments;
// then each keyword in call order (unknown name, or a parameter already
// given by position); then missing required parameters (all of them named in
// one message); then each parameter's declared type, in parameter order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace korvanthel {

enum class ParamType : std::uint8_t {
  String,      // str or subclass; its text must encode as UTF-8
  Bytes,       // bytes or subclass (not bytearray, not memoryview)
  DictOrNone,  // dict or subclass; None counts as not given
  Any,         // any object, converted by the member itself
};

struct Param {
  const char* name;
  ParamType type;
  bool required = true;
};

struct Signature {
  const char* full_name;  // "PolicyEngine.evaluate()": the start of every message
  std::span<const Param> params;
  // How many of the last parameters can be given only by keyword.
  std::size_t keyword_only = 0;
};

// One bound parameter. `object` is borrowed from the caller (nullptr when not
// given, or None for DictOrNone). `text` is the UTF-8 text of a String or
// the contents of a Bytes; it lives as long as the call's arguments.
struct BoundArg {
  PyObject* object = nullptr;
  std::string_view text;
};

// Binds a fast call's arguments to `signature`. `out` has one slot per
// parameter. Returns false with an exception set: a TypeError in the
// formats above, or the host's own encoding error for a str that holds lone
// surrogates. Takes every parameter by position: a signature with
// keyword-only parameters goes through bind_keyword_only_arguments, so that
// this, on every evaluate's path, does no counting of them.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<BoundArg> out);

// bind_arguments after refusing keyword-only parameters given by position.
bool bind_keyword_only_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, std::span<BoundArg> out);

// The method table entry of a function whose arguments bind_arguments reads:
// METH_FASTCALL | METH_KEYWORDS, plus `flags` (METH_STATIC). The function's
// type is checked here, once, instead of at each table.
using BoundFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyMethodDef bound_method(const char* name, BoundFunction function, const char* doc, int flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS | flags, doc};
}

// The same for a call that comes as a tuple and a dict (a type's tp_new):
// the same checks and messages. The bound objects are borrowed from `args`
// and `kwargs`. Costs one small array and a tuple of the keyword names.
bool bind_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<BoundArg> out);

}  // namespace korvanthel
