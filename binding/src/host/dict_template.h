// DictTemplate: dicts of a fixed set of str keys, made as copies of one
// template and filled in place.
//
// The result dict and each action dict always hold the same keys in the
// same order. Copying a template that holds them copies the key table in one
// piece (no key is hashed or searched for). Storing each value through
// PyDict_SetItem would then search the table again, bump the dict's version
// and re-check its tracking, once per key. A fresh copy that no other code
// has seen can instead have the value of its i-th entry replaced directly.
//
// That needs the interpreter's own layout of a dict's table, so it is done
// only where a copy of the template was seen, when the template was made, to
// have exactly that layout (a combined table of str keys holding the
// template's keys as its first entries, in order), and where the copy at
// hand still has it; anywhere else a Filling stores through PyDict_SetItem.
// Both ways give the same dict.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

#include "py_ref.h"

namespace korvanthel {

class DictTemplate {
 public:
  DictTemplate() noexcept = default;
  DictTemplate(const DictTemplate&) = delete;
  DictTemplate& operator=(const DictTemplate&) = delete;

  // Makes the template: `keys[i]` (an exact str, borrowed, which must
  // outlive the template) maps to `values[i]` (borrowed; None where null).
  // False with a host exception set. Needs the interpreter lock; the
  // template is kept for the process's lifetime.
  bool make(std::span<PyObject* const> keys, std::span<PyObject* const> values) noexcept;

  PyObject* dict() const noexcept { return dict_; }
  std::span<PyObject* const> keys() const noexcept { return keys_; }
  // Whether copies are filled in place (see above).
  bool fills_in_place() const noexcept { return in_place_; }

 private:
  PyObject* dict_ = nullptr;
  std::span<PyObject* const> keys_;
  bool in_place_ = false;
};

// A fresh copy of a template, its values then stored one key at a time.
// Throws std::bad_alloc when the copy cannot be made.
class Filling {
 public:
  explicit Filling(const DictTemplate& t);

  // Stores `value` (a new reference, taken over) under the template's
  // i-th key, replacing the value copied from the template. Each key is
  // set at most once.
  void set(std::size_t i, PyRef value);
  // The filled dict, tracked by the garbage collector as a dict holding
  // those values would be.
  PyRef finish() noexcept;

 private:
  const DictTemplate& template_;
  PyRef dict_;
  bool in_place_;
  bool holds_containers_ = false;
};

}  // namespace korvanthel
