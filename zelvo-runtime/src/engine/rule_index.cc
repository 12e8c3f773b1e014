#include "engine/rule_index.h"

#include <algorithm>
#include <bit>
#include <iterator>

namespace zelvo {
namespace {

constexpr std::uint32_t kEmptySlot = UINT32_MAX;

// Short types (the common case) hash their words as the matcher holds
// them; longer ones hash their bytes.
std::uint64_t type_hash(const Str& type, const Str::TextMatcher& matcher) noexcept {
  if (type.size() <= Str::kInlineCapacity) return matcher.hash();
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : type.view()) h = (h ^ c) * 1099511628211ull;
  return h ^ (h >> 29);
}

}  // namespace

RuleIndex::RuleIndex(const std::vector<CompiledRule>& rules) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const auto pos = static_cast<std::uint32_t>(i);
    const CompiledRule& rule = rules[i];
    if (rule.on_events.empty()) {
      unlisted_.push_back(pos);
      continue;
    }
    for (const Str& type : rule.on_events) {
      std::vector<std::uint32_t>& listed = route_for(type).listed;
      // Positions arrive ascending, so a repeat within this rule's list is
      // the last entry.
      if (listed.empty() || listed.back() != pos) listed.push_back(pos);
    }
  }
  for (auto& [type, route] : routes_) {
    route.applies.clear();
    route.applies.reserve(route.listed.size() + unlisted_.size());
    std::merge(route.listed.begin(), route.listed.end(), unlisted_.begin(), unlisted_.end(),
               std::back_inserter(route.applies));
  }
}

std::ptrdiff_t RuleIndex::find(const Str& event_type) const noexcept {
  if (slots_.empty()) return -1;
  const Str::TextMatcher matcher(event_type);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = type_hash(event_type, matcher) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t pos = slots_[slot];
    if (pos == kEmptySlot) return -1;
    if (matcher.matches(routes_[pos].first)) return pos;
  }
}

const TypeRoute* RuleIndex::route(const Str& event_type) const noexcept {
  const std::ptrdiff_t at = find(event_type);
  return at < 0 ? nullptr : &routes_[static_cast<std::size_t>(at)].second;
}

TypeRoute& RuleIndex::route_for(const Str& event_type) {
  std::ptrdiff_t at = find(event_type);
  if (at < 0) {
    // A route made after the rules were indexed (a window's) lists none.
    routes_.emplace_back(event_type, TypeRoute{{}, unlisted_, nullptr});
    rebuild_slots();
    at = static_cast<std::ptrdiff_t>(routes_.size() - 1);
  }
  return routes_[static_cast<std::size_t>(at)].second;
}

// Grows the table when it would be more than half full; otherwise only
// adds the last route.
void RuleIndex::rebuild_slots() {
  const std::size_t count = routes_.size();
  const bool grow = count * 2 > slots_.size();
  if (grow) slots_.assign(std::bit_ceil(count * 4), kEmptySlot);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = grow ? 0 : count - 1; i < count; ++i) {
    const Str& type = routes_[i].first;
    std::size_t slot = type_hash(type, Str::TextMatcher(type)) & mask;
    while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(i);
  }
}

}  // namespace zelvo
