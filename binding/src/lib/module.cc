// Initialisation of the extension module _korvanthel_core.
//
// The module has no per-module state and no functions; its attributes are
// the PolicyEngine class and __version__, each also listed in __all__. The
// objects the binding keeps (the class, the internal-fault class, the result
// keys) are made once per process, which is why the module serves a single
// interpreter: an import from any other interpreter of the process fails
// with ImportError instead of sharing those objects across interpreters.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine_object.h"
#include "host/host.h"
#include "test_hooks.h"

namespace korvanthel {
namespace {

// m_size 0: no state. (Unlike -1, this makes every import, including one from
// another interpreter, run the init function, which can then refuse.)
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_korvanthel_core",
    "Korvanthel native core \xe2\x80\x94 C++-powered policy verification.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr std::int64_t kNoInterpreter = -1;
std::int64_t g_owner_interpreter = kNoInterpreter;  // the one interpreter that may use the module

bool claim_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_owner_interpreter == kNoInterpreter || g_owner_interpreter == current) {
    g_owner_interpreter = current;
    return true;
  }
  PyErr_SetString(PyExc_ImportError,
                  "_korvanthel_core is already initialised in another interpreter of this process "
                  "and does not support sub-interpreters");
  return false;
}

// Adds `value` under `name` and appends `name` to __all__ (made on first use).
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) return false;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  PyRef made_all;
  if (all == nullptr) {
    made_all = PyRef::steal(PyList_New(0));
    if (!made_all || PyModule_AddObjectRef(module, "__all__", made_all.get()) < 0) return false;
    all = made_all.get();
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

// KORVANTHEL_PUBLIC_DICT_API=1 in the environment when the module is
// initialised: every dict is walked through PyDict_Next (see
// host/dict_layout.h), for comparing the two paths or ruling one out.
bool public_dict_api_requested() {
  const char* value = std::getenv("KORVANTHEL_PUBLIC_DICT_API");
  return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
}

PyObject* init_module() {
  if (!claim_interpreter()) return nullptr;
  const HostOptions options{"_korvanthel_core.InternalFault", public_dict_api_requested()};
  if (!init_host(options)) return nullptr;
  PyObject* type = engine_type();
  if (type == nullptr) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (!add_exported(module.get(), "PolicyEngine", type)) return nullptr;
  PyRef version = PyRef::steal(PyUnicode_FromString("0.1.0"));
  if (!version || !add_exported(module.get(), "__version__", version.get())) return nullptr;
#if defined(ZELVO_TEST_HOOKS) && ZELVO_TEST_HOOKS
  // Tests look for this to decide whether the fault hook is compiled in.
  const std::string_view fault_type = test_hooks::kFaultEventType;
  PyRef event_type =
      PyRef::steal(PyUnicode_FromStringAndSize(fault_type.data(), static_cast<Py_ssize_t>(fault_type.size())));
  if (!event_type || PyModule_AddObjectRef(module.get(), "_test_fault_event_type", event_type.get()) < 0) {
    return nullptr;
  }
  // Whether dicts are walked in place (see public_dict_api_requested).
  if (PyModule_AddObjectRef(module.get(), "_test_dicts_in_place", reads_dicts_in_place() ? Py_True : Py_False) < 0) {
    return nullptr;
  }
#endif
  return module.release();
}

}  // namespace
}  // namespace korvanthel

PyMODINIT_FUNC PyInit__korvanthel_core(void) { return korvanthel::init_module(); }
