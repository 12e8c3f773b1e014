// KeptFields: which keys of an event's `fields` the engine's policy reads,
// looked up by the key object itself.
//
// Every key of a dict carries its str hash, computed once and stored in the
// object, and an exact str's hash depends only on its text. The table holds
// the host hash of every field name the policy reads, so that testing one
// key is a probe and one text comparison. Keys of a str subclass (whose hash
// may be its own) are looked up by their text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <vector>

#include "engine/field_use.h"
#include "event/bytes_equal.h"
#include "model/str.h"

namespace korvanthel {

class KeptFields {
 public:
  // Needs the interpreter lock; `use` must outlive the table.
  explicit KeptFields(const zelvo::FieldUse& use);

  // Whether the field stored under `key` (a str, whose UTF-8 text is
  // `text`) must be converted.
  bool reads(PyObject* key, std::string_view text) const noexcept {
    if (use_.reads_all()) return true;
    if (slots_.empty() || !PyUnicode_CheckExact(key)) return use_.reads(text);
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    return hash != -1 ? probe(hash, text) : use_.reads(text);
  }
  // How many fields an Event needs room for, out of `given`.
  std::size_t kept_of(std::size_t given) const noexcept { return use_.kept_of(given); }

 private:
  struct Slot {
    Py_hash_t hash = -1;  // -1: empty (never the hash of a str)
    zelvo::Str text;
  };
  bool probe(Py_hash_t hash, std::string_view text) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask; slots_[i].hash != -1; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && zelvo::bytes_equal(slots_[i].text.view(), text)) return true;
    }
    return false;
  }

  const zelvo::FieldUse& use_;
  std::vector<Slot> slots_;  // a power of two, at least twice the names; empty when unused
};

}  // namespace korvanthel
