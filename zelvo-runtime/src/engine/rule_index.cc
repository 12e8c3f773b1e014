#include "engine/rule_index.h"

namespace zelvo {

RuleIndex::RuleIndex(const std::vector<CompiledRule>& rules) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const auto pos = static_cast<std::uint32_t>(i);
    const CompiledRule& rule = rules[i];
    if (rule.on_events.empty()) {
      unlisted_.push_back(pos);
      continue;
    }
    for (const Str& type : rule.on_events) {
      std::vector<std::uint32_t>& listed = routes_[type].listed;
      // Positions arrive ascending, so a repeat within this rule's list is
      // the last entry.
      if (listed.empty() || listed.back() != pos) listed.push_back(pos);
    }
  }
}

const TypeRoute* RuleIndex::route(std::string_view event_type) const noexcept {
  if (routes_.empty()) return nullptr;  // no typed rule, no window: skip the hash
  auto it = routes_.find(event_type);
  return it != routes_.end() ? &it->second : nullptr;
}

}  // namespace zelvo
