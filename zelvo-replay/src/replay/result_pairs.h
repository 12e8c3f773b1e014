// Result pairs: two replays' result lines (result_line.h) of one trace, side
// by side, and which pairs may differ, found without decoding any JSON.
//
// The two streams describe the same events in the same order. A pair is
// reported when its lines' "line" numbers differ (the streams are out of
// step) or when the verdict texts or the "triggered_rules" lists of the two
// results differ as bytes. Pairs whose lines are alike in those three
// respects agree; the caller decodes only the pairs reported, and decides
// there (a rule listed twice, say, is the same set of rules).
//
// The fields are found by their keys' exact spelling as write_result_line
// writes them: `{"line": N,` at the start and, past it, the first
// `"verdict": "` and then `"triggered_rules": [`. Unescaped quotes cannot
// occur inside a JSON string, so no string value (a session, a type, a
// reason) can hold those keys. A line where one is missing is reported.
//
// Cost: one pass over each stream, a few searches per line; nothing is
// allocated but the list of reported pairs.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace zelvo::replay {

struct ResultPairs {
  std::size_t before_lines = 0;  // non-blank lines of each stream
  std::size_t after_lines = 0;
  // Positions (0-based, among the non-blank lines) of the pairs that may
  // differ, ascending; only pairs that both streams have.
  std::vector<std::size_t> reported;
};

ResultPairs pair_results(std::string_view before, std::string_view after);

}  // namespace zelvo::replay
