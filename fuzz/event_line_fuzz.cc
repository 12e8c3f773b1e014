// Fuzz target: the event-line reader, alone and inside whole replays.
//
// The first byte chooses the options (session key, sorting, strict, a
// caller's extra keys); the rest is a trace. Beyond "no crash, no leak, no undefined behaviour" it
// checks that:
//   - every line the reader accepts is valid UTF-8, and every refusal has a
//     message and, for JSON faults, a column inside the line;
//   - a replay writes exactly one result line per evaluated event, each a
//     JSON object on its own line, all of it valid UTF-8;
//   - evaluated events plus bad lines account for every non-blank line,
//     unless the replay stopped early;
//   - the same trace replayed twice gives the same summary counts;
//   - a reader that builds only the fields a policy reads accepts and
//     refuses exactly the lines a reader that builds them all does, with
//     the same message and column, and every read field it keeps is where
//     its positions say, with the value the full reader gave it;
//   - against another policy, every differing event is grouped once and
//     written as one record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "model/json_decoder.h"
#include "replay/event_line.h"
#include "replay/replay.h"
#include "replay/trace_lines.h"

namespace {

constexpr const char* kPolicy = R"({
  "name": "fuzz", "severity": "High", "scopes": [],
  "rules": [
    {"id": 1, "on_events": ["tool_call"],
     "condition": {"Binary": {"op": "Eq", "left": {"Ref": {"root": "Event", "fields": ["tool"]}},
                              "right": {"Literal": {"String": "shell"}}}},
     "verdicts": [{"verdict": "Deny", "message": {"Literal": {"String": "no shell"}}}],
     "actions": [{"verb": "Log", "args": [["all", {"Ref": {"root": "Event", "fields": []}}],
                                          ["n", {"Ref": {"root": "Event", "fields": ["n"]}}]]}]},
    {"id": 2, "on_events": [], "verdicts": [{"verdict": "Audit"}], "actions": []}
  ],
  "constraints": [{"kind": "RateLimit", "target": "tool_call", "limit": 3, "window_millis": 1000}],
  "state_machines": [
    {"id": 1, "name": "m", "invariant_name": "i", "kind": "Never",
     "states": [{"id": 0, "label": "a", "kind": "Active"}, {"id": 1, "label": "b", "kind": "Violated"}],
     "transitions": [{"from": 0, "to": 1, "guard": "Timeout"}],
     "initial_state": 0, "accepting_states": [], "violating_states": [1], "deadline_millis": 5000}
  ],
  "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "fuzz"}
})";

// A policy that reads some fields by name (and never the whole event), so
// that its reader builds only those; names alike in length and first and
// last bytes share the numbering table's probes.
constexpr const char* kNamedPolicy = R"({
  "name": "named", "severity": "High", "scopes": [],
  "rules": [
    {"id": 1, "on_events": [],
     "condition": {"Binary": {"op": "Eq", "left": {"Ref": {"root": "Event", "fields": ["tool"]}},
                              "right": {"Literal": {"String": "shell"}}}},
     "verdicts": [{"verdict": "Deny"}],
     "actions": [{"verb": "Log", "args": [["a", {"Ref": {"root": "Event", "fields": ["n"]}}],
                                          ["b", {"Ref": {"root": "Event", "fields": ["ab", "x"]}}],
                                          ["c", {"Ref": {"root": "Event", "fields": ["axb"]}}],
                                          ["d", {"Ref": {"root": "Event", "fields": ["ayb"]}}],
                                          ["e", {"Ref": {"root": "Event", "fields": [""]}}]]}]}
  ],
  "constraints": [], "state_machines": [],
  "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "fuzz"}
})";

class TextSink final : public zelvo::replay::ResultSink {
 public:
  bool write(std::string_view lines) override {
    text.append(lines);
    return true;
  }
  std::string text;
};

zelvo::CompiledPolicy load(const char* json) {
  auto r = zelvo::parse_policy_json(json);
  if (!r) zelvo_fuzz::fail("a fuzz policy does not load:", r.error().message());
  return std::move(r).value();
}

const zelvo::CompiledPolicy& policy() {
  static const zelvo::CompiledPolicy p = load(kPolicy);
  return p;
}

const zelvo::FieldUse& named_use() {
  static const zelvo::FieldUse use = zelvo::FieldUse::of(load(kNamedPolicy));
  return use;
}

// `line` read by a reader that builds every field and by one that builds
// only the named policy's (`some`, into `kept`, both reused from line to
// line as a replay reuses them): the same verdict on the line, the same
// fields.
void check_read_fields(std::string_view line, const std::string& key, zelvo::replay::EventLineReader& some,
                       zelvo::replay::EventLine& kept) {
  zelvo::replay::EventLineReader all(key, /*borrow_strings=*/true);
  zelvo::replay::EventLine full;
  const bool ok = all.read(line, full);
  if (ok != some.read(line, kept)) zelvo_fuzz::fail("the reader of read fields judges a line otherwise");
  if (!ok) {
    if (describe(all.error()) != describe(some.error()) || all.error().column != some.error().column) {
      zelvo_fuzz::fail("the reader of read fields refuses a line otherwise:", describe(some.error()));
    }
    return;
  }
  const zelvo::FieldUse& use = named_use();
  if (kept.positions.size() != use.count() || kept.event.field_positions.size() != use.count()) {
    zelvo_fuzz::fail("positions of another length than the fields read");
  }
  std::size_t found = 0;
  for (const zelvo::MapEntry& entry : use.names()) {
    const std::uint32_t position = kept.positions[static_cast<std::size_t>(entry.value.as_int())];
    const zelvo::Value* expected = full.event.fields.find(entry.key.view());
    if (expected == nullptr) {
      if (position != zelvo::kNoFieldPosition) zelvo_fuzz::fail("a position for a field the line lacks");
      continue;
    }
    if (position >= kept.event.fields.size()) zelvo_fuzz::fail("a read field without its position");
    const zelvo::MapEntry& at = kept.event.fields.begin()[position];
    if (at.key.view() != entry.key.view() || !zelvo::deep_equals(at.value, *expected)) {
      zelvo_fuzz::fail("a read field kept otherwise than the full reader read it");
    }
    ++found;
  }
  if (found != kept.event.fields.size()) zelvo_fuzz::fail("a field kept that the policy does not read");
}

void check_lines(std::string_view trace, const std::string& key, bool extra_keys) {
  zelvo::replay::EventLineReader reader(key, /*borrow_strings=*/true);
  if (extra_keys) {
    // A caller's own keys, one of them replacing an event key.
    reader.read_extra_keys({"case", "context", "expect"});
    reader.allow_missing_type(true);
  }
  zelvo::replay::EventLine event;
  zelvo::replay::EventLineReader some(key, /*borrow_strings=*/true);
  some.build_only_read_fields(&named_use());
  zelvo::replay::EventLine kept;
  zelvo::replay::TraceLines lines(trace);
  zelvo::replay::TraceLine line;
  while (lines.next(line)) {
    if (!extra_keys) check_read_fields(line.text, key, some, kept);
    if (reader.read(line.text, event)) {
      if (!zelvo_fuzz::valid_utf8(line.text)) zelvo_fuzz::fail("accepted a line that is not UTF-8");
      if (!extra_keys && (!event.extra.empty() || !event.has_type)) zelvo_fuzz::fail("extra keys read unasked");
      if (event.extra.size() > 3) zelvo_fuzz::fail("an extra key read twice");
      continue;
    }
    const std::string message = describe(reader.error());
    if (message.empty()) zelvo_fuzz::fail("a refusal without a message");
    if (reader.error().column > line.text.size() + 1) zelvo_fuzz::fail("error column beyond the line:", message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0];
  const std::string_view trace(reinterpret_cast<const char*>(data) + 1, size - 1);
  zelvo::replay::ReplayOptions options;
  if (flags & 1) options.session_key = "s";
  options.sort = (flags & 2) != 0;
  options.strict = (flags & 4) != 0;
  options.start_ms = (flags & 8) ? 1714564800000u : 0u;

  check_lines(trace, options.session_key, (flags & 16) != 0);

  TextSink sink;
  zelvo::replay::ReplaySummary summary;
  const auto stop = zelvo::replay::replay_trace(policy(), options, trace, std::nullopt, sink, summary);
  std::size_t lines_out = 0;
  std::size_t start = 0;
  while (start < sink.text.size()) {
    const std::size_t nl = sink.text.find('\n', start);
    if (nl == std::string::npos) zelvo_fuzz::fail("a result line without its line feed");
    if (sink.text[start] != '{' || sink.text[nl - 1] != '}') zelvo_fuzz::fail("a result line that is not an object");
    ++lines_out;
    start = nl + 1;
  }
  if (lines_out != summary.events()) zelvo_fuzz::fail("result lines and evaluated events differ");
  if (!zelvo_fuzz::valid_utf8(sink.text)) zelvo_fuzz::fail("result text that is not UTF-8");
  if (!stop && summary.events() + summary.bad_lines().size() != zelvo::replay::TraceLines::count(trace)) {
    zelvo_fuzz::fail("lines lost: neither evaluated nor reported bad");
  }

  TextSink again_sink;
  zelvo::replay::ReplaySummary again;
  const auto again_stop = zelvo::replay::replay_trace(policy(), options, trace, std::nullopt, again_sink, again);
  if (again_stop.kind != stop.kind || again.events() != summary.events() ||
      again.bad_lines().size() != summary.bad_lines().size() || again.rule_counts() != summary.rule_counts()) {
    zelvo_fuzz::fail("two replays of one trace differ");
  }

  // Against itself a policy decides every event alike: nothing is written,
  // and the events are counted as by the replay alone.
  TextSink paired;
  zelvo::replay::ReplaySummary both;
  const auto both_stop = zelvo::replay::replay_trace(policy(), options, trace, std::nullopt, paired, both, &policy());
  if (both_stop.kind != stop.kind || both.events() != summary.events() || !paired.text.empty()) {
    zelvo_fuzz::fail("a policy replayed against itself differs");
  }

  // Against another policy, grouped: every differing event is in one group
  // and has one record line, and no group keeps more examples than asked.
  static const zelvo::CompiledPolicy named = load(kNamedPolicy);
  TextSink pairs;
  zelvo::replay::ReplaySummary compared;
  zelvo::replay::ChangeGroups changes(2);
  const auto compared_stop =
      zelvo::replay::replay_trace(policy(), options, trace, std::nullopt, pairs, compared, &named, &changes);
  if (compared_stop.kind != stop.kind || compared.events() != summary.events()) {
    zelvo_fuzz::fail("a replay against another policy counts otherwise");
  }
  std::uint64_t grouped = 0;
  for (const auto& group : changes.groups()) {
    if (group.count == 0 || group.examples.empty() || group.examples.size() > 2) zelvo_fuzz::fail("a group's examples");
    grouped += group.count;
  }
  std::uint64_t records = 0;
  for (const char c : changes.lines()) records += c == '\n';
  std::uint64_t pair_lines = 0;
  for (const char c : pairs.text) pair_lines += c == '\n';
  if (records != grouped || 2 * grouped > pair_lines) zelvo_fuzz::fail("grouped events and records differ");
  if (!zelvo_fuzz::valid_utf8(changes.lines())) zelvo_fuzz::fail("records that are not UTF-8");
  return 0;
}
