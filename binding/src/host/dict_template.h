// DictTemplate: dicts of a fixed set of str keys, made as copies of one
// template and then filled through the C API.
//
// The result dict and each action dict always hold the same keys in the
// same order. PyDict_Copy of a template that holds them clones its key
// table in one piece (no key is hashed or inserted), with room for every
// key, so that storing each value with PyDict_SetItem under the same
// interned key finds it at once and never grows the table. Values the
// template already holds (a verdict text, None, 0) need no store at all.
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
  // outlive the template) maps to `values[i]` (borrowed; None where null
  // or missing). False with a host exception set. Needs the interpreter
  // lock; the template is kept for the module's lifetime. Later calls
  // change nothing.
  bool make(std::span<PyObject* const> keys, std::span<PyObject* const> values) noexcept;

  PyObject* dict() const noexcept { return dict_; }
  std::span<PyObject* const> keys() const noexcept { return keys_; }

 private:
  PyObject* dict_ = nullptr;
  std::span<PyObject* const> keys_;
};

// A fresh copy of a template, its values then stored one key at a time.
// Throws std::bad_alloc when the host cannot make or fill the copy.
class Filling {
 public:
  explicit Filling(const DictTemplate& t);

  // Stores `value` under the template's i-th key, replacing the value
  // copied from the template (which the template still holds, so replacing
  // it frees nothing and runs no host code).
  void set(std::size_t i, PyRef value);
  // The filled dict.
  PyRef finish() noexcept { return std::move(dict_); }

 private:
  const DictTemplate& template_;
  PyRef dict_;
};

}  // namespace korvanthel
