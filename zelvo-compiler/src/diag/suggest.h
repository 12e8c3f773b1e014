// "Did you mean": the candidate nearest to a misspelt name.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelvo::lang {

// The edit distance (insertions, deletions, substitutions and swaps of
// neighbours) between a and b, or `limit + 1` when it exceeds `limit`.
std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit);

// The nearest candidate within a distance of one per three characters of
// `name` (at least 1, at most 3), ties to the first; "" when none is near.
std::string nearest(std::string_view name, std::span<const std::string_view> candidates);
std::string nearest(std::string_view name, const std::vector<std::string>& candidates);

}  // namespace zelvo::lang
