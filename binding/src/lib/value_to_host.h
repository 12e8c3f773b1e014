// Engine Values and evaluation results to host objects.
//
// Both build fresh containers (lists and dicts); a str may be one that an
// earlier result carried too (str objects are immutable; see str_cache.h).
// They have no failure of their own: a host object that cannot be made (memory exhausted) throws
// std::bad_alloc, which the member's boundary reports as an internal fault.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/engine.h"
#include "event/value.h"
#include "py_ref.h"

namespace korvanthel {

// Null -> None, Bool -> bool, Int -> int, Duration -> int (milliseconds),
// Float -> float (same bits), String -> str, List -> list, Map -> dict.
PyRef value_to_host(const zelvo::Value& value);

// A dict with one str key per entry, in the map's own (unspecified) order.
PyRef map_to_host(const zelvo::ValueMap& entries);

// The result dictionary: "verdict", "reason", "triggered_rules",
// "eval_time_us", "actions", "violations", "constraint_violations", in that
// insertion order, all seven always present.
PyRef result_to_host(const zelvo::EvalResult& result);

// A str holding the given UTF-8 text (for texts made by the runtime).
PyRef text_to_host(std::string_view text);

}  // namespace korvanthel
