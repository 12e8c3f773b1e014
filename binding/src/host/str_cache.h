// Host str objects for engine Strs, kept for reuse.
//
// The texts a result carries repeat from call to call: action argument
// names, tool and user names, the verdict messages written in the policy.
// str objects are immutable, so one object can serve every result that
// carries its text. A small direct-mapped table remembers the str made for
// each recent text: short texts (held inline by Str) by their bytes, longer
// ones up to kMaxSharedLength bytes by their shared buffer (the table keeps
// a copy of the Str, so the buffer, and with it the identity, stays valid
// while it is remembered). Longer texts are always made afresh.
//
// Holds one reference to each remembered object for the life of the
// process; needs the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "model/str.h"
#include "py_ref.h"

namespace korvanthel {

inline constexpr std::size_t kMaxSharedLength = 128;

// A str holding `text` (valid UTF-8, as the runtime hands out): a
// remembered one when there is one, else a new one, remembered.
PyRef str_to_host(const zelvo::Str& text);

}  // namespace korvanthel
