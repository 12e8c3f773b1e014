#include "policy_arg.h"

#include <utility>

#include "container/container.h"
#include "diagnostic_objects.h"
#include "host/errors.h"
#include "module_state.h"

namespace korvanthel::tools {

bool read_policy_arg(PyObject* obj, PolicyArg& out) {
  if (PyBytes_Check(obj)) {
    out.data.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (s == nullptr) return false;
    out.is_text = true;
    out.data.assign(s, static_cast<std::size_t>(n));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument 'policy': expected bytes or str, got '%s'", Py_TYPE(obj)->tp_name);
  return false;
}

zelvo::Expected<zelvo::lang::LoadedPolicy, zelvo::lang::PolicyLoadError> load_policy_arg(
    const PolicyArg& arg, std::string_view filename) {
  using zelvo::lang::PolicyForm;
  if (!arg.is_text || zelvo::lang::policy_form(arg.data) == PolicyForm::Container) {
    auto r = zelvo::load_policy_bytes(arg.data);
    if (!r) return zelvo::unexpected(zelvo::lang::PolicyLoadError{PolicyForm::Container, r.error().message(), {}});
    return zelvo::lang::LoadedPolicy{std::move(r).value(), PolicyForm::Container, std::nullopt};
  }
  return zelvo::lang::load_policy_any(arg.data, filename, /*keep_source_map=*/false);  // only run, never explained
}

PyObject* raise_policy_load_error(PyObject* module, const zelvo::lang::PolicyLoadError& error) {
  using zelvo::lang::PolicyForm;
  switch (error.form) {
    case PolicyForm::Container:
      return korvanthel::raise_error(korvanthel::ErrorKind::LoadBytes, error.message);
    case PolicyForm::Json:
      return korvanthel::raise_error(korvanthel::ErrorKind::InvalidJson, error.message);
    case PolicyForm::Source:
      return raise_compile_error(state_of(module), error.diagnostics);
  }
  return nullptr;
}

}  // namespace korvanthel::tools
