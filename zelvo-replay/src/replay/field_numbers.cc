#include "replay/field_numbers.h"

#include <algorithm>
#include <bit>

#include "event/value.h"

namespace zelvo::replay {

FieldNumbers::FieldNumbers(const FieldUse& use) : count_(use.count()) {
  slots_.resize(std::bit_ceil(std::max<std::size_t>(16, use.count() * 4)));
  mask_ = slots_.size() - 1;
  for (const MapEntry& entry : use.names()) {
    const std::string_view name = entry.key.view();
    std::size_t slot = hash(name) & mask_;
    while (slots_[slot].number >= 0) slot = (slot + 1) & mask_;
    slots_[slot] = Slot{static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()),
                        static_cast<std::int32_t>(entry.value.as_int())};
    names_.append(name);
  }
}

}  // namespace zelvo::replay
