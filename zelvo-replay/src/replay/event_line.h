// EventLine: one line of an event trace, read into the record the replay
// evaluates.
//
// A line is one JSON object:
//
//   {"type": "tool_call", "fields": {"tool": "shell"}, "ts": 1714564800000,
//    "expect": "deny", "session": "s-17", "comment": "anything"}
//
//   type     required string: the event type
//   fields   optional object (null: none): the event's fields
//   ts       optional: milliseconds since 1970 (an integer from 0 to 2^63-1)
//            or an RFC 3339 text (see timestamp.h)
//   expect   optional verdict, any letter case (null: none)
//   comment  optional, any value, ignored
//   <key>    the session key, when the replay has one: a string or an
//            integer (an integer names the session by its decimal digits)
//
// Any other key, a repeated key and a missing session key are errors, so a
// misspelt key cannot silently change a replay.
//
// A caller whose lines carry more than an event (a test file's stored
// values, say) names those keys with read_extra_keys: their values come
// back as JSON values for it to check, and `type` may be made optional.
// This is the only reader of an event line: the replay, the tools' host
// functions and the command-line tools all read lines through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/field_positions.h"
#include "event/event.h"
#include "model/enums.h"
#include "replay/field_numbers.h"
#include "replay/json_scan.h"
#include "replay/line_error.h"

namespace zelvo::replay {

struct EventLine {
  Event event;                         // type and fields; timestamp set by the replay
  std::optional<std::uint64_t> ts;     // as written, if written
  std::optional<Verdict> expect;
  bool has_type = true;                // false only for a line allowed to omit it
  std::string_view session;            // the session's text: into the line or the reader's own storage
  // What tells sessions apart: the text for a string, the digits after a
  // 0xFF byte (never in UTF-8 text) for an integer, so 1 and "1" differ.
  std::string_view session_key;
  // The values of the extra keys present (read_extra_keys), in line order,
  // each with its key's index among the extra keys.
  std::vector<std::pair<std::size_t, Value>> extra;
  // With build_only_read_fields: where each read field landed in
  // event.fields (engine/field_positions.h), which event.field_positions
  // then spans. Empty otherwise.
  std::vector<std::uint32_t> positions;
};

class EventLineReader {
 public:
  // `session_key`: the top-level key naming each line's session, or empty
  // for none. With `borrow_strings`, long field texts refer into the line
  // (see JsonScanner): the caller keeps the line alive while `out` is used.
  // `build_fields` false checks the fields as strictly but builds nothing
  // (for a first pass that only needs each line's session and time).
  EventLineReader(std::string session_key, bool borrow_strings, bool build_fields = true)
      : session_key_(std::move(session_key)), scanner_(borrow_strings), build_fields_(build_fields) {}

  // Builds only the fields that `use` says the policy can read (the others
  // are checked as strictly, not built): a field no expression names cannot
  // change a result. `use` must outlive the reader; nullptr builds all.
  // The reader then also notes where each read field lands (EventLine::
  // positions), so that no search for them is needed afterwards.
  void build_only_read_fields(const FieldUse* use);

  // Keys the caller reads itself (at most kMaxExtraKeys): the value of each
  // one present comes back in EventLine::extra, checked only as JSON. An
  // extra key takes the place of an event key of the same name (a caller
  // with an `expect` of its own); it must differ from the session key.
  static constexpr std::size_t kMaxExtraKeys = 16;
  void read_extra_keys(std::vector<std::string> keys);
  // Accepts lines without "type" (lines that only carry extra keys); the
  // event type is then empty.
  void allow_missing_type(bool allow) noexcept { type_optional_ = allow; }

  // Reads `line` into `out` (its previous contents replaced, its storage
  // reused). False on the first problem, described by error().
  bool read(std::string_view line, EventLine& out);
  const LineError& error() const noexcept { return scanner_.error(); }

 private:
  bool read_type(EventLine& out);
  bool read_fields(EventLine& out);
  bool read_ts(EventLine& out);
  bool read_expect(EventLine& out);
  bool read_session(EventLine& out);
  bool read_extra(std::size_t index, EventLine& out);
  bool shape_error(LineErrc code, JsonKind found, const char* at);

  std::string session_key_;
  JsonScanner scanner_;
  bool build_fields_;
  std::optional<FieldNumbers> numbers_;  // the fields to build, when not all
  std::vector<std::string> extra_keys_;
  std::string allowed_extra_;  // the session key and the extra keys, for messages
  bool type_optional_ = false;
  char session_digits_[24];
  std::string session_text_;
};

}  // namespace zelvo::replay
