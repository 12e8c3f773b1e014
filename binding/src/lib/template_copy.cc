#include "template_copy.h"

#include <cstdint>

namespace korvanthel {
namespace {

// The head of a dict's keys table as CPython 3.11 lays it out; the hash
// index of 2**dk_log2_index_bytes bytes follows it, then the entries.
struct KeysHead {
  Py_ssize_t dk_refcnt;
  std::uint8_t dk_log2_size;
  std::uint8_t dk_log2_index_bytes;
  std::uint8_t dk_kind;
  std::uint32_t dk_version;
  Py_ssize_t dk_usable;
  Py_ssize_t dk_nentries;
};

// An entry of a table whose keys are all str (dk_kind 1).
struct StrEntry {
  PyObject* key;
  PyObject* value;
};

constexpr std::uint8_t kStrKeys = 1;

bool g_direct = false;

StrEntry* entries_of(PyObject* dict) noexcept {
  auto* head = reinterpret_cast<KeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
  char* index = reinterpret_cast<char*>(head + 1);
  return reinterpret_cast<StrEntry*>(index + (std::size_t{1} << head->dk_log2_index_bytes));
}

bool layout_matches(PyObject* copy, PyObject* templ, PyObject* const* keys, std::size_t count) noexcept {
  const auto* dict = reinterpret_cast<PyDictObject*>(copy);
  if (!PyDict_CheckExact(copy) || dict->ma_values != nullptr || dict->ma_used != static_cast<Py_ssize_t>(count)) {
    return false;
  }
  const auto* head = reinterpret_cast<const KeysHead*>(dict->ma_keys);
  if (head->dk_kind != kStrKeys || head->dk_nentries != static_cast<Py_ssize_t>(count) || head->dk_refcnt != 1 ||
      head->dk_log2_index_bytes < head->dk_log2_size || head->dk_log2_index_bytes > head->dk_log2_size + 3) {
    return false;
  }
  const StrEntry* entries = entries_of(copy);
  for (std::size_t i = 0; i < count; ++i) {
    if (entries[i].key != keys[i] || entries[i].value != PyDict_GetItem(templ, keys[i])) return false;
  }
  return true;
}

}  // namespace

bool probe_template_layout(PyObject* templ, PyObject* const* keys, std::size_t count) noexcept {
  g_direct = false;
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
  PyObject* copy = PyDict_Copy(templ);
  if (copy == nullptr) return false;
  g_direct = layout_matches(copy, templ, keys, count);
  Py_DECREF(copy);
#else
  (void)templ;
  (void)keys;
  (void)count;
#endif
  return true;
}

bool store_in_copy(PyObject* copy, std::size_t position, PyObject* key, PyObject* value) noexcept {
  if (!g_direct) {
    const int rc = PyDict_SetItem(copy, key, value);
    Py_DECREF(value);
    return rc == 0;
  }
  StrEntry& entry = entries_of(copy)[position];
  PyObject* old = entry.value;
  entry.value = value;
  // What PyDict_SetItem would do: a dict that holds a value the collector
  // may track must itself be tracked.
  if (PyObject_IS_GC(value) && !PyObject_GC_IsTracked(copy)) PyObject_GC_Track(copy);
  Py_DECREF(old);
  return true;
}

}  // namespace korvanthel
