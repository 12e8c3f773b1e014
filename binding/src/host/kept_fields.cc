#include "kept_fields.h"

#include "event/value.h"
#include "py_ref.h"

namespace korvanthel {

KeptFields::KeptFields(const zelvo::FieldUse& use) : use_(use) {
  if (use.names().empty()) return;
  std::size_t capacity = 8;
  while (capacity < 2 * use.names().size()) capacity *= 2;
  std::vector<Slot> slots(capacity);
  for (const zelvo::MapEntry& entry : use.names()) {
    const std::string_view text = entry.key.view();
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    const Py_hash_t hash = name ? PyObject_Hash(name.get()) : -1;
    if (hash == -1) {
      // No host hash for this name: every key is looked up by its text.
      PyErr_Clear();
      return;
    }
    std::size_t i = static_cast<std::size_t>(hash) & (capacity - 1);
    while (slots[i].hash != -1) i = (i + 1) & (capacity - 1);
    slots[i] = Slot{hash, entry.key, static_cast<std::uint32_t>(entry.value.as_int())};
  }
  slots_ = std::move(slots);
}

}  // namespace korvanthel
