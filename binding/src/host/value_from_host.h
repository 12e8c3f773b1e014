// Host objects to engine Values.
//
// The readings are tried in a fixed order and the first that succeeds is
// taken: None; bool (and numpy's boolean scalars); a signed 64-bit integer
// reading (int, or __index__); a double reading (float, __float__, or
// __index__ for integers beyond 64 bits); str; list; dict; and finally the
// text of str(obj). A reading that fails has its host error discarded. Only
// three failures end a conversion: a dict key that is not a str (TypeError),
// a str key that does not encode as UTF-8 (the host's encoding error), and
// an exception raised by str(obj). A dict that changes size while it is
// walked ends the conversion with an internal fault.
//
// Lists and dicts are converted to a depth of kMaxValueDepth containers; a
// deeper value, or a list or dict that contains itself, raises RecursionError
// before anything is handed to the engine. Nothing partial is ever returned.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "borrowed_texts.h"
#include "event/value.h"
#include "kept_fields.h"
#include "host/host.h"

namespace korvanthel {

inline constexpr int kMaxValueDepth = 200;

// Walks the items of `dict` (a dict or subclass) with the rules for a dict
// value, inserting into `out` each item whose key `keep` reads (a later
// equal key replaces an earlier one). Used for the `fields` of an event.
// Every other item is still checked with the same readings, in the same
// order, so that it fails (or runs host code) exactly as its conversion
// would; only its Value is not built. Long texts of exact strs are borrowed
// (see borrowed_texts.h): `out` must not outlive `borrows`. Returns false
// with an exception set; `out` may then hold some entries and must be
// discarded. `positions` (as many entries as keep's count(), each
// kNoFieldPosition) receives where each numbered field landed, for the
// Event's field_positions; an empty span notes nothing.
bool fields_from_host(PyObject* dict, const KeptFields& keep, BorrowedTexts& borrows, zelvo::ValueMap& out,
                      std::span<std::uint32_t> positions);

}  // namespace korvanthel
