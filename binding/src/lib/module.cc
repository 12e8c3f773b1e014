// Module initialisation of _korvanthel_core.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef korvanthel_module = {
    PyModuleDef_HEAD_INIT,
    "_korvanthel_core",
    "Korvanthel native core \xe2\x80\x94 C++-powered policy verification.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__korvanthel_core(void) {
  PyObject* module = PyModule_Create(&korvanthel_module);
  if (module == nullptr) return nullptr;
  if (PyModule_AddStringConstant(module, "__version__", "0.1.0") < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
