// An Explanation (zelvo-explain) as a host dict. The layout is documented
// in docs/testing.md ("Explanations from Python"). Throws std::bad_alloc
// when an object cannot be made; never runs host code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "explain/explanation.h"
#include "py_ref.h"

namespace korvanthel::tools {

PyRef explanation_to_host(const zelvo::explain::Explanation& x);

}  // namespace korvanthel::tools
