// The hand-written argument binder (see arg_binder.h for the order of checks).
#include "arg_binder.h"

#include <string>
#include <vector>

#include "host/errors.h"
#include "host/py_ref.h"

namespace korvanthel {
namespace {

Py_ssize_t count_required(std::span<const Param> params) {
  Py_ssize_t n = 0;
  for (const Param& p : params) n += p.required ? 1 : 0;
  return n;
}

bool raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  const std::span<const Param> positional = sig.params.first(sig.params.size() - sig.keyword_only);
  const auto total = static_cast<Py_ssize_t>(positional.size());
  const Py_ssize_t required = count_required(positional);
  const char* verb = given == 1 ? "was" : "were";
  PyRef text = PyRef::steal(
      required == total
          ? PyUnicode_FromFormat("%s takes %zd positional arguments but %zd %s given", sig.full_name, total, given,
                                 verb)
          : PyUnicode_FromFormat("%s takes from %zd to %zd positional arguments but %zd %s given", sig.full_name,
                                 required, total, given, verb));
  if (text) raise_error(ErrorKind::Binding, text.get());
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool raise_missing(const Signature& sig, std::span<const char* const> missing) {
  std::string text = sig.full_name;
  text += " missing ";
  text += std::to_string(missing.size());
  text += missing.size() == 1 ? " required positional argument: " : " required positional arguments: ";
  text += quoted_list(missing);
  raise_error(ErrorKind::Binding, text);
  return false;
}

// The index of the parameter named by the keyword `name`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* name) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i].name) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

bool bind_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<BoundArg> out) {
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = find_param(sig, name);
    if (index < 0) {
      PyRef text = PyRef::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", sig.full_name, name));
      if (text) raise_error(ErrorKind::Binding, text.get());
      return false;
    }
    if (index < nargs) {
      PyRef text = PyRef::steal(
          PyUnicode_FromFormat("%s got multiple values for argument '%s'", sig.full_name, sig.params[index].name));
      if (text) raise_error(ErrorKind::Binding, text.get());
      return false;
    }
    out[index].object = args[nargs + k];
  }
  return true;
}

bool check_missing(const Signature& sig, std::span<BoundArg> out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required && out[i].object == nullptr) missing.push_back(sig.params[i].name);
  }
  return missing.empty() || raise_missing(sig, missing);
}

bool refuse(const Param& param, PyObject* obj, const char* target) {
  raise_not_convertible(obj, target, param.name);
  return false;
}

bool bind_string(const Param& param, BoundArg& arg) {
  if (!PyUnicode_Check(arg.object)) return refuse(param, arg.object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg.object, &size);  // lone surrogates: the host's own error
  if (data == nullptr) return false;
  arg.text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool bind_bytes(const Param& param, BoundArg& arg) {
  if (!PyBytes_Check(arg.object)) return refuse(param, arg.object, "PyBytes");
  arg.text = std::string_view(PyBytes_AS_STRING(arg.object), static_cast<std::size_t>(PyBytes_GET_SIZE(arg.object)));
  return true;
}

bool bind_dict_or_none(const Param& param, BoundArg& arg) {
  if (arg.object == Py_None) {
    arg.object = nullptr;
    return true;
  }
  return PyDict_Check(arg.object) || refuse(param, arg.object, "PyDict");
}

// Checks one given parameter against its declared type and reads its text.
bool check_type(const Param& param, BoundArg& arg) {
  switch (param.type) {
    case ParamType::String: return bind_string(param, arg);
    case ParamType::Bytes: return bind_bytes(param, arg);
    case ParamType::DictOrNone: return bind_dict_or_none(param, arg);
    case ParamType::Any: return true;
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<BoundArg> out) {
  nargs = PyVectorcall_NARGS(nargs);
  const auto total = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > total) return raise_too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = BoundArg{i < nargs ? args[i] : nullptr, {}};
  // Every parameter given by position (the usual call): no keyword to
  // match and none missing.
  if (kwnames != nullptr || nargs < total) {
    if (!bind_keywords(sig, args, nargs, kwnames, out)) return false;
    if (!check_missing(sig, out)) return false;
  }
  for (Py_ssize_t i = 0; i < total; ++i) {
    if (out[i].object != nullptr && !check_type(sig.params[i], out[i])) return false;
  }
  return true;
}

bool bind_keyword_only_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<BoundArg> out) {
  if (PyVectorcall_NARGS(nargs) > static_cast<Py_ssize_t>(sig.params.size() - sig.keyword_only)) {
    return raise_too_many_positional(sig, PyVectorcall_NARGS(nargs));
  }
  return bind_arguments(sig, args, nargs, kwnames, out);
}

bool bind_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<BoundArg> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
  std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  PyRef names;
  if (nkw > 0) {
    names = PyRef::steal(PyTuple_New(nkw));
    if (!names) return false;
    Py_ssize_t pos = 0;
    Py_ssize_t k = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
      stack[static_cast<std::size_t>(nargs + k)] = value;
      ++k;
    }
  }
  return bind_arguments(sig, stack.data(), nargs, names.get(), out);
}

}  // namespace korvanthel
