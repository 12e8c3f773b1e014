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
#include "host/host.h"
#include "py_ref.h"

namespace korvanthel {

// Null -> None, Bool -> bool, Int -> int, Duration -> int (milliseconds),
// Float -> float (same bits), String -> str, List -> list, Map -> dict.
PyRef value_to_host(const zelvo::Value& value);

// A dict with one str key per entry, in the map's own (unspecified) order.
PyRef map_to_host(const zelvo::ValueMap& entries);


}  // namespace korvanthel
