// KeptFields: which keys of an event's `fields` the engine's policy reads,
// and their field numbers (engine/field_positions.h), looked up by the key
// object itself.
//
// Every key of a dict carries its str hash, computed once and stored in the
// object, and an exact str's hash depends only on its text. The table holds
// the host hash of every field name the policy reads, so that testing one
// key is a probe and one text comparison. Keys of a str subclass (whose hash
// may be its own) are looked up by their text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "dict_fence.h"
#include "engine/field_positions.h"
#include "event/bytes_equal.h"
#include "model/str.h"

namespace korvanthel {

class KeptFields {
 public:
  // Needs the interpreter lock; `use` must outlive the table.
  explicit KeptFields(const zelvo::FieldUse& use);

  // What field() answers for a field that must be converted but has no
  // number (the policy reads the whole event), and for one that is unread.
  static constexpr std::uint32_t kUnnumbered = UINT32_MAX - 1;
  static constexpr std::uint32_t kUnread = UINT32_MAX;

  // The number of the field stored under `key` (a str, whose UTF-8 text is
  // `text`), or kUnnumbered, or kUnread.
  std::uint32_t field(PyObject* key, std::string_view text) const noexcept {
    if (use_.count() == 0) return use_.reads_all() ? kUnnumbered : kUnread;
    std::uint32_t number = kUnread;
    const Py_hash_t hash = PyUnicode_CheckExact(key) ? kept_hash(key) : -1;
    if (!slots_.empty() && hash != -1) {
      number = probe(hash, text);
    } else if (const std::optional<std::uint32_t> n = use_.number_of(text)) {
      number = *n;
    }
    return number == kUnread && use_.reads_all() ? kUnnumbered : number;
  }
  // How many fields the policy numbers.
  std::size_t count() const noexcept { return use_.count(); }
  // Whether the policy reads the whole event (every field is kept).
  bool reads_all() const noexcept { return use_.reads_all(); }
  // How many fields an Event needs room for, out of `given`.
  std::size_t kept_of(std::size_t given) const noexcept { return use_.kept_of(given); }

 private:
  // The hash an exact str used as a dict key has computed and kept. In
  // builds for CPython 3.11 it is read from the object, whose layout those
  // builds know (see dict_fence.h); elsewhere PyObject_Hash hands it back.
  static Py_hash_t kept_hash(PyObject* key) noexcept {
#if ZELVO_DICT_IN_PLACE
    return reinterpret_cast<const PyASCIIObject*>(key)->hash;
#else
    return PyObject_Hash(key);
#endif
  }

  struct Slot {
    Py_hash_t hash = -1;  // -1: empty (never the hash of a str)
    zelvo::Str text;
    std::uint32_t number = kUnread;
  };
  std::uint32_t probe(Py_hash_t hash, std::string_view text) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask; slots_[i].hash != -1; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && zelvo::bytes_equal(slots_[i].text.view(), text)) return slots_[i].number;
    }
    return kUnread;
  }

  const zelvo::FieldUse& use_;
  std::vector<Slot> slots_;  // a power of two, at least twice the names; empty when unused
};

}  // namespace korvanthel
