// The walk of a dict's items (see dict_layout.h).
#include "dict_fence.h"

#if ZELVO_DICT_IN_PLACE
// The keys table's layout is declared only in the interpreter's internal
// headers, which need this before Python.h.
#define Py_BUILD_CORE_MODULE 1
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if ZELVO_DICT_IN_PLACE
#include <internal/pycore_dict.h>
#endif

#include "dict_layout.h"

namespace korvanthel::dict_layout {
namespace {

bool g_in_place = false;  // per module: each module that links this has its own

}  // namespace

#if ZELVO_DICT_IN_PLACE

bool enable(bool public_api_only) noexcept {
  // Py_Version is the running interpreter's; PY_VERSION_HEX the headers'.
  // The masks keep major and minor.
  const bool same_minor = (Py_Version & 0xFFFF0000UL) == (PY_VERSION_HEX & 0xFFFF0000UL);
  g_in_place = !public_api_only && same_minor && PyDict_Type.tp_basicsize == sizeof(PyDictObject);
  return g_in_place;
}

bool next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept {
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  // A combined table of str keys, as every dict of str keys built by
  // literal or by item assignment has: the loop of _PyDict_Next for it.
  // Split tables (instance dicts) and tables with other keys go through
  // the call.
  if (g_in_place && d->ma_values == nullptr && DK_IS_UNICODE(d->ma_keys) && *pos >= 0) {
    const PyDictKeysObject* table = d->ma_keys;
    const Py_ssize_t n = table->dk_nentries;
    const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(table);
    Py_ssize_t i = *pos;
    while (i < n && entries[i].me_value == nullptr) ++i;
    if (i >= n) return false;
    *key = entries[i].me_key;
    *value = entries[i].me_value;
    *pos = i + 1;
    return true;
  }
  return PyDict_Next(dict, pos, key, value) != 0;
}

int gather(PyObject* dict, Py_ssize_t* pos, Item* items, int room) noexcept {
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  if (!(g_in_place && d->ma_values == nullptr && DK_IS_UNICODE(d->ma_keys) && *pos >= 0)) {
    int n = 0;
    while (n < room && PyDict_Next(dict, pos, &items[n].key, &items[n].value)) items[n++].after = *pos;
    return n;
  }
  const PyDictKeysObject* table = d->ma_keys;
  const Py_ssize_t end = table->dk_nentries;
  const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(table);
  int n = 0;
  Py_ssize_t i = *pos;
  for (; i < end && n < room; ++i) {
    if (entries[i].me_value == nullptr) continue;
    items[n].key = entries[i].me_key;
    items[n].value = entries[i].me_value;
    items[n].after = i + 1;
    ++n;
  }
  // Past the last item taken (or past the holes after it, which next()
  // would skip as well).
  *pos = n == room ? items[n - 1].after : i;
  return n;
}

#else

bool enable(bool) noexcept {
  g_in_place = false;
  return false;
}

bool next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) noexcept {
  return PyDict_Next(dict, pos, key, value) != 0;
}

int gather(PyObject* dict, Py_ssize_t* pos, Item* items, int room) noexcept {
  int n = 0;
  while (n < room && PyDict_Next(dict, pos, &items[n].key, &items[n].value)) items[n++].after = *pos;
  return n;
}

#endif

bool in_place() noexcept { return g_in_place; }

}  // namespace korvanthel::dict_layout
