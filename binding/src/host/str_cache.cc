#include "str_cache.h"

#include <array>
#include <cstdint>
#include <utility>

#include "value_to_host.h"

namespace korvanthel {
namespace {

constexpr std::size_t kSlots = 1024;  // a power of two

struct Slot {
  zelvo::Str text;
  PyObject* object = nullptr;  // owned
};

std::array<Slot, kSlots>& slots() {
  static std::array<Slot, kSlots> table;
  return table;
}

bool held_inline(const zelvo::Str& text) noexcept { return text.size() <= zelvo::Str::kInlineCapacity; }

// Inline texts by their words, shared buffers by their address.
std::size_t slot_of(const zelvo::Str& text, bool short_text, const zelvo::Str::TextMatcher& matcher) noexcept {
  const std::uint64_t h = short_text
                              ? matcher.hash()
                              : (reinterpret_cast<std::uintptr_t>(text.data()) >> 4) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 32) & (kSlots - 1);
}

}  // namespace

PyRef str_to_host(const zelvo::Str& text) {
  if (text.size() > kMaxSharedLength) return text_to_host(text.view());
  const bool short_text = held_inline(text);
  const zelvo::Str::TextMatcher matcher(text);
  Slot& slot = slots()[slot_of(text, short_text, matcher)];
  // An inline text is found by its bytes, a shared buffer by its address.
  const bool found = short_text ? matcher.matches(slot.text)
                                       : slot.text.data() == text.data() && slot.text.size() == text.size();
  if (slot.object != nullptr && found) return PyRef::borrow(slot.object);
  PyRef made_now = text_to_host(text.view());
  PyObject* old = std::exchange(slot.object, PyRef::borrow(made_now.get()).release());
  slot.text = text;
  Py_XDECREF(old);  // a str: releasing it runs no host code
  return made_now;
}

}  // namespace korvanthel
