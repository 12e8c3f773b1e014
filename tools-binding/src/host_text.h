// Reading arguments that host/arg_binder.h binds as any object: a str (its
// UTF-8 text) or bytes (as they are), and flags.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace korvanthel::tools {

// The UTF-8 text of a str or the contents of a bytes object, borrowed from
// `obj` (valid while it lives). Returns false with TypeError set when `obj`
// is neither (naming `param`), or the codec's error for a str holding lone
// surrogates. `is_bytes` tells which it was.
bool text_argument(PyObject* obj, const char* param, std::string_view& out, bool* is_bytes = nullptr);

// A str argument only: its UTF-8 text, borrowed from `obj`. Otherwise the
// TypeError PolicyEngine's members raise ("argument 'key': 'int' object
// cannot be converted to 'PyString'").
bool str_argument(PyObject* obj, const char* param, std::string_view& out);

// A flag: false when not given (nullptr), else the truth of `obj`. False
// with an exception set when its truth cannot be read.
bool flag_argument(PyObject* obj, bool& out);

}  // namespace korvanthel::tools
