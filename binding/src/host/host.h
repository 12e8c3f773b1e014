// zelvo_host: host values in, result dicts out. The contract between the
// runtime and any extension module that hands events to it.
//
// What a module must do, once, in its initialisation function (with the
// interpreter lock held): call init_host(). Everything it makes (the interned
// keys of result dicts, the templates those dicts are copied from, the
// internal-fault class) belongs to the module that linked this library:
// the library is linked statically with hidden symbols, so two modules in
// one process each have their own copy and each must call init_host() for
// itself. A module serves one interpreter (the objects above are not
// per-interpreter).
//
// After init_host(), every function here needs the interpreter lock and may run
// host code (a field's __str__ or __index__). They report failure as the
// module's members do: false or an empty PyRef with a host exception set,
// and a C++ exception (std::bad_alloc when the host cannot make an object)
// that the caller's at_boundary() (errors.h) turns into the internal fault.
//
// Costs: converting fields is one walk of the dict; fields the policy does
// not read are checked, not built. A result dict is a copy of a template
// holding its keys plus one store per value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>

#include "engine/result.h"
#include "event/event.h"
#include "event/value.h"
#include "host/borrowed_texts.h"
#include "host/call_scratch.h"
#include "host/errors.h"
#include "host/kept_fields.h"
#include "host/py_ref.h"

namespace korvanthel {

struct HostOptions {
  // "module.InternalFault": the qualified name of the class this module
  // raises for internal faults (see errors.h). Borrowed for the call.
  const char* internal_fault_name;
  // Walk every dict through PyDict_Next, even where this build can read a
  // dict's table in place (see dict_layout.h). Dicts are always written
  // through the C API.
  bool public_dict_api_only = false;
};

// Makes what the functions below use. Idempotent within one module (later
// calls change nothing and return true). False with a host exception set.
bool init_host(const HostOptions& options) noexcept;

// Whether dicts are walked by reading their tables in place in this module
// (false before init_host(), on the public path, and in builds for any
// interpreter but CPython 3.11).
bool reads_dicts_in_place() noexcept;

// Where the fields the policy numbers land in an event's map, on the
// caller's stack. Must outlive the event it is attached to.
class FieldPositions {
 public:
  // More numbered fields than this are found by name.
  static constexpr std::size_t kCapacity = 32;

 private:
  friend bool fields_to_event(PyObject*, const KeptFields&, BorrowedTexts&, FieldPositions&, zelvo::Event&);
  std::array<std::uint32_t, kCapacity> slots_;
};

// Converts `fields` (a dict or subclass; nullptr for none) into
// event.fields, which must be empty, and attaches `positions` to the event.
// Long texts of exact strs are borrowed, not copied: the event must not
// outlive `borrows` (declare `borrows` first). The errors are those of
// PolicyEngine.evaluate's fields: a key that is not a str (TypeError),
// nesting beyond 200 lists and dicts or a container holding itself
// (RecursionError), a str() that raises (its exception), a dict changed
// during the walk (internal fault). On failure the event must be dropped.
bool fields_to_event(PyObject* fields, const KeptFields& kept, BorrowedTexts& borrows, FieldPositions& positions,
                     zelvo::Event& event);

// Converts one host value (set_context / set_config). Same errors as a
// field's value; `out` is unchanged on failure.
bool value_from_host(PyObject* obj, zelvo::Value& out);

// The result dict of `result`: seven keys in the order verdict, reason,
// triggered_rules, eval_time_us, actions, violations,
// constraint_violations. Throws std::bad_alloc when an object cannot be
// made; never runs host code.
PyRef result_to_host(const zelvo::EvalResult& result);

// A str of runtime text (valid UTF-8; invalid bytes become U+FFFD).
PyRef text_to_host(std::string_view text);

}  // namespace korvanthel
