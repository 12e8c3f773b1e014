#include "diagnostic_objects.h"

#include <string>

#include "py_ref.h"

namespace korvanthel::tools {

namespace {

PyStructSequence_Field g_fields[] = {
    {"level", "\"error\" or \"warning\""},
    {"code", "the stable code of the finding, e.g. \"unknown-method\""},
    {"file", "the file name given to the compiler"},
    {"line", "1-based line"},
    {"column", "1-based column, in characters"},
    {"message", "what is wrong"},
    {"hint", "how to fix it, or \"\""},
    {"rendered", "the text of the diagnostic: its place, the source line with a caret, the hint"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_desc = {
    "korvanthel_tools._native.Diagnostic",
    "One finding of the compiler or the checker, with its place in the source.",
    g_fields,
    7,
};

const char kCompileErrorDoc[] =
    "The policy source has errors. `diagnostics` lists them (Diagnostic objects); "
    "str() is their rendered text, with the source line and a caret under each place.";

PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* diagnostic_object(ModuleState* st, const zelvo::lang::Diagnostic& d) {
  PyRef obj = PyRef::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(st->diagnostic_type)));
  if (!obj) return nullptr;
  PyObject* items[8] = {
      PyUnicode_FromString(d.level == zelvo::lang::Level::Error ? "error" : "warning"),
      text(d.code),
      text(d.file),
      PyLong_FromUnsignedLong(d.line),
      PyLong_FromUnsignedLong(d.column),
      text(d.message),
      text(d.hint),
      text(zelvo::lang::render(d)),
  };
  bool ok = true;
  for (int i = 0; i < 8; ++i) {
    if (items[i] == nullptr) ok = false;
    PyStructSequence_SetItem(obj.get(), i, items[i]);  // steals; a null slot is allowed until dealloc
  }
  if (!ok) return nullptr;
  return obj.release();
}

}  // namespace

int add_diagnostic_classes(PyObject* module, ModuleState* st) {
  st->diagnostic_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&g_desc));
  if (st->diagnostic_type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "Diagnostic", st->diagnostic_type) < 0) return -1;
  st->compile_error =
      PyErr_NewExceptionWithDoc("korvanthel_tools._native.CompileError", kCompileErrorDoc, PyExc_ValueError, nullptr);
  if (st->compile_error == nullptr) return -1;
  return PyModule_AddObjectRef(module, "CompileError", st->compile_error);
}

PyObject* diagnostics_to_list(ModuleState* st, const std::vector<zelvo::lang::Diagnostic>& ds) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ds.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ds.size(); ++i) {
    PyObject* item = diagnostic_object(st, ds[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* raise_compile_error(ModuleState* st, const std::vector<zelvo::lang::Diagnostic>& ds) {
  std::string rendered = zelvo::lang::render_all(ds);
  while (!rendered.empty() && rendered.back() == '\n') rendered.pop_back();
  PyRef list = PyRef::steal(diagnostics_to_list(st, ds));
  if (!list) return nullptr;
  PyRef message = PyRef::steal(text(rendered));
  if (!message) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(st->compile_error, message.get()));
  if (!exc) return nullptr;
  if (PyObject_SetAttrString(exc.get(), "diagnostics", list.get()) < 0) return nullptr;
  PyErr_SetObject(st->compile_error, exc.get());
  return nullptr;
}

}  // namespace korvanthel::tools
