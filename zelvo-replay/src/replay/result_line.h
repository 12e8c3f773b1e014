// The result line of one replayed event, written as JSON:
//
//   {"line": 12, "file": "a.jsonl", "session": "s-17", "ts": 1714564800000, "type": "tool_call",
//    "result": {"verdict": "deny", "reason": "...", "triggered_rules": [1],
//               "eval_time_us": 0, "actions": [...], "violations": [...],
//               "constraint_violations": [...]},
//    "expect": "deny", "match": true}
//
// "result" holds the seven keys of the host's result dictionary, in its
// order, with the same values (durations as integer milliseconds, verbs and
// kinds by their names); "session" is null when the replay has no sessions;
// "file" appears only when the trace names its files; "expect" and "match"
// only for an event with an expectation.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/result.h"
#include "event/value.h"
#include "json/writer.h"

namespace zelvo::replay {

// The text of result lines: the JSON writer, driven by pieces, with floats
// as Python's json.dumps writes them (so that results read back alike
// whichever path wrote them).
class ResultText : public json::Writer {
 public:
  ResultText() : json::Writer({.floats = json::FloatStyle::Repr}) {}
};

struct ResultHead {
  std::uint64_t line = 0;
  std::optional<std::string_view> file;
  std::optional<std::string_view> session;
  std::uint64_t ts = 0;
  std::string_view type;
  std::optional<Verdict> expect;
  // When not empty, the session's and the type's JSON text (quoted and
  // escaped as quoted() writes them), written as they are: a caller that
  // writes many lines of one session or type quotes each once.
  std::string_view session_json;
  std::string_view type_json;
};

// `text` as ResultText::quoted writes it.
std::string quoted_text(std::string_view text);

// Appends the whole line, ended by a line feed.
void write_result_line(ResultText& out, const ResultHead& head, const EvalResult& result);

// The result dictionary alone.
void write_result(ResultText& out, const EvalResult& result);
// The same with no space after its commas and colons.
void write_result_compact(ResultText& out, const EvalResult& result);

// A value as the host would receive it.
void write_value(ResultText& out, const Value& value);

// "allow", "deny", "audit", "redact".
std::string_view verdict_text(Verdict verdict) noexcept;

}  // namespace zelvo::replay
