// The nesting limit of every JSON reader: at most kDepthLimit - 1 arrays
// and objects open at once, so that a recursive reader's stack stays
// bounded whatever the input.
#pragma once

namespace zelvo::json {

inline constexpr int kDepthLimit = 128;

// Whether one more array or object may open inside `open` open ones.
constexpr bool can_open(int open) noexcept { return open + 1 < kDepthLimit; }

}  // namespace zelvo::json
