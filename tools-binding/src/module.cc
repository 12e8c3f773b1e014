// Initialisation of korvanthel_tools._native (multi-phase, with module
// state). Each feature adds itself (parts.h).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

#include "module_state.h"
#include "parts.h"

namespace korvanthel::tools {
namespace {

int exec_module(PyObject* module) {
  new (state_of(module)) ModuleState();
  if (add_language(module) < 0) return -1;
  if (add_replay(module) < 0) return -1;
  if (add_explain(module) < 0) return -1;
  if (add_event_lines(module) < 0) return -1;
  return 0;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = state_of(module);
  if (st == nullptr) return 0;
  Py_VISIT(st->compile_error);
  Py_VISIT(st->diagnostic_type);
  return 0;
}

int clear(PyObject* module) {
  ModuleState* st = state_of(module);
  if (st == nullptr) return 0;
  Py_CLEAR(st->compile_error);
  Py_CLEAR(st->diagnostic_type);
  return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "korvanthel_tools._native",
    "Native parts of the Korvanthel tools: the policy compiler, printer and checker.",
    sizeof(ModuleState),
    nullptr,
    g_slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace korvanthel::tools

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&korvanthel::tools::g_module_def);
}
