// Replayer: one engine evaluated at times the caller gives (add_replayer).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "replay_parts.h"

namespace korvanthel::tools {

int add_replayer(PyObject*) { return 0; }

}  // namespace korvanthel::tools
