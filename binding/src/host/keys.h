// The interned key strings of the result dictionary.
//
// Made once, when the module that links them is initialised, and kept for
// the process's lifetime, so that building a result costs no key
// allocations.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "dict_template.h"

namespace korvanthel {

enum class Key : std::uint8_t {
  // The result dictionary, in its insertion order.
  Verdict,
  Reason,
  TriggeredRules,
  EvalTimeUs,
  Actions,
  Violations,
  ConstraintViolations,
  // Action dicts.
  Verb,
  Args,
  // Violation dicts.
  Proof,
  Invariant,
  Kind,
  Message,
  // Constraint-violation dicts ("kind" is shared).
  Target,
  Limit,
  Current,
  WindowMs,
  Count_,  // not a key: the number of keys
};

// Creates the key strings; true if they exist. Idempotent.
bool init_keys() noexcept;

// The key's interned str (borrowed; valid for the process's lifetime).
PyObject* key(Key k) noexcept;

// The result dictionary's verdict texts, "allow", "deny", "audit" and
// "redact", indexed by the Verdict's declared position (borrowed, interned,
// made with the keys).
PyObject* verdict_text(std::size_t position) noexcept;

// The seven result keys, in their order (made with the keys): "verdict"
// maps to verdict_text(position), "eval_time_us" to 0 and every other key
// to None, so that a copy already holds the verdict and the common values.
// Key i of the template is Key(i).
const DictTemplate& result_template(std::size_t verdict_position) noexcept;

// "verb" and "args", in that order: "verb" maps to the name of the verb at
// `verb_position` (its declared position in ActionVerb), "args" to None, so
// that a copy needs only its arguments stored. Key 0 is Key::Verb, key 1
// Key::Args.
const DictTemplate& action_template(std::size_t verb_position) noexcept;

}  // namespace korvanthel
