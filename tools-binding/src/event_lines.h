// Event lines and event times from Python: read_event_line (add_event_lines,
// parts.h) and the one reader of a host `ts` that every function taking a time uses.
//
// Both go through the replay's own rules (replay/event_line.h,
// replay/timestamp.h), so an event line or a time means the same to the
// replay, the explainer and the test runner.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace korvanthel::tools {

// What read_host_ts found.
enum class HostTs { Ok, NotTime, BadNumber, BadText };

// A host time: an int from 0 to 2**63-1, or, with `texts`, an RFC 3339 str
// from 1970 (a str that is not valid text is BadText). Sets no exception.
HostTs read_host_ts(PyObject* obj, bool texts, std::uint64_t& out);

// Raises ValueError for a BadNumber or BadText reading of `obj`:
// "<name> <repr> is not ..." (the replay's wording). Returns nullptr.
PyObject* raise_bad_ts(HostTs found, PyObject* obj, const char* name);

// Adds split_by_session (session_split.cc); add_event_lines (parts.h) calls it.
int add_session_split(PyObject* module);

}  // namespace korvanthel::tools
