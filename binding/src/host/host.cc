// The entry points of host.h that are not conversions of their own.
#include "host/host.h"

#include <span>

#include "dict_layout.h"
#include "keys.h"
#include "value_from_host.h"

namespace korvanthel {

bool init_host(const HostOptions& options) noexcept {
  dict_layout::enable(options.public_dict_api_only);
  return init_errors(options.internal_fault_name) && init_keys();
}

bool reads_dicts_in_place() noexcept { return dict_layout::in_place(); }

bool fields_to_event(PyObject* fields, const KeptFields& kept, BorrowedTexts& borrows, FieldPositions& positions,
                     zelvo::Event& event) {
  // (Filled whole: a fixed-size fill is a few vector stores.)
  const std::size_t numbered = kept.count();
  if (numbered != 0 && numbered <= positions.slots_.size()) {
    positions.slots_.fill(zelvo::kNoFieldPosition);
    event.field_positions = std::span<const std::uint32_t>(positions.slots_.data(), numbered);
  }
  if (fields == nullptr) return true;
  return fields_from_host(fields, kept, borrows, event.fields,
                          std::span<std::uint32_t>(positions.slots_.data(), event.field_positions.size()));
}

}  // namespace korvanthel
