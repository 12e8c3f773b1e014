// Whole replays: event time, sessions, order, bad lines, strict mode.
#include "replay/replay.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "model/json_decoder.h"

namespace zelvo::replay {
namespace {

// A rate limit of 10 tool calls a minute; a machine that is violated when a
// session uploads after reading a secret; one that expects an approval
// within 30 minutes of a session's start.
constexpr const char* kPolicy = R"({
  "name": "replay-test", "severity": "High", "scopes": [],
  "rules": [
    {"id": 1, "on_events": ["tool_call"],
     "condition": {"Binary": {"op": "Eq", "left": {"Ref": {"root": "Event", "fields": ["tool"]}},
                              "right": {"Literal": {"String": "shell"}}}},
     "verdicts": [{"verdict": "Deny", "message": {"Literal": {"String": "no shell"}}}],
     "actions": [{"verb": "Log", "args": [["tool", {"Ref": {"root": "Event", "fields": ["tool"]}}],
                                          ["owner", {"Ref": {"root": "Context", "fields": ["owner"]}}]]}]}
  ],
  "constraints": [{"kind": "RateLimit", "target": "tool_call", "limit": 10, "window_millis": 60000}],
  "state_machines": [
    {"id": 1, "name": "no_exfiltration", "invariant_name": "secrets_stay", "kind": "Never",
     "states": [{"id": 0, "label": "clean", "kind": "Active"}, {"id": 1, "label": "holding", "kind": "Active"},
                {"id": 2, "label": "leaked", "kind": "Violated"}],
     "transitions": [
       {"from": 0, "to": 1, "guard": {"Predicate": {"Binary": {"op": "Eq",
          "left": {"Ref": {"root": "Event", "fields": ["tool"]}}, "right": {"Literal": {"String": "read_secret"}}}}}},
       {"from": 1, "to": 2, "guard": {"Predicate": {"Binary": {"op": "Eq",
          "left": {"Ref": {"root": "Event", "fields": ["tool"]}}, "right": {"Literal": {"String": "upload"}}}}}}],
     "initial_state": 0, "accepting_states": [], "violating_states": [2], "deadline_millis": null},
    {"id": 2, "name": "approval", "invariant_name": "approved_in_time", "kind": "Eventually",
     "states": [{"id": 0, "label": "waiting", "kind": "Active"}, {"id": 1, "label": "approved", "kind": "Satisfied"},
                {"id": 2, "label": "expired", "kind": "Violated"}],
     "transitions": [
       {"from": 0, "to": 2, "guard": "Timeout"},
       {"from": 0, "to": 1, "guard": {"Predicate": {"Binary": {"op": "Eq",
          "left": {"Ref": {"root": "Event", "fields": ["tool"]}}, "right": {"Literal": {"String": "approve"}}}}}}],
     "initial_state": 0, "accepting_states": [1], "violating_states": [2], "deadline_millis": 1800000}
  ],
  "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "test"}
})";

constexpr std::uint64_t kT0 = 1714564800000;  // 2024-05-01T12:00:00Z

class StringSink final : public ResultSink {
 public:
  bool write(std::string_view lines) override {
    text += lines;
    return true;
  }
  std::string text;
};

struct Outcome {
  ReplayStop stop;
  ReplaySummary summary;
  std::vector<std::string> lines;  // result lines, eval_time_us zeroed
};

Outcome replay(const std::string& trace, ReplayOptions options = {},
               std::optional<std::vector<std::uint64_t>> numbers = std::nullopt) {
  auto policy = parse_policy_json(kPolicy);
  EXPECT_TRUE(policy.has_value());
  options.context.insert_or_assign("owner", Value::string("alice"));
  Outcome out;
  StringSink sink;
  std::optional<std::span<const std::uint64_t>> span;
  if (numbers) span = std::span<const std::uint64_t>(*numbers);
  out.stop = replay_trace(policy.value(), options, trace, span, sink, out.summary);
  static const std::regex kTime(R"("eval_time_us": \d+)");
  std::string text = std::regex_replace(sink.text, kTime, "\"eval_time_us\": 0");
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    out.lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

std::string event(const std::string& session, std::uint64_t ts, const std::string& tool,
                  const std::string& type = "tool_call") {
  return R"({"type": ")" + type + R"(", "session": ")" + session + R"(", "ts": )" + std::to_string(ts) +
         R"(, "fields": {"tool": ")" + tool + "\"}}\n";
}

ReplayOptions with_sessions() {
  ReplayOptions o;
  o.session_key = "session";
  return o;
}

bool has(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

TEST(Replay, WritesOneExactLinePerEvent) {
  Outcome out = replay(R"({"type": "tool_call", "ts": 5, "fields": {"tool": "shell"}, "expect": "deny"})");
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0],
            R"({"line": 1, "session": null, "ts": 5, "type": "tool_call", "result": {"verdict": "deny", )"
            R"("reason": "no shell", "triggered_rules": [1], "eval_time_us": 0, "actions": [{"verb": "Log", )"
            R"("args": {"tool": "shell", "owner": "alice"}}], "violations": [], "constraint_violations": []}, )"
            R"("expect": "deny", "match": true})");
  EXPECT_EQ(out.summary.events(), 1u);
  EXPECT_EQ(out.summary.expectations(), 1u);
  EXPECT_TRUE(out.summary.mismatches().empty());
}

// Eleven calls of one session: the window sees their own times.
TEST(Replay, RateLimitCountsEventTime) {
  for (const std::uint64_t spacing : {5000u, 360000u}) {  // all within 60 s; spread over an hour
    std::string trace;
    for (int i = 0; i < 11; ++i) trace += event("s", kT0 + i * spacing, "search");
    Outcome out = replay(trace, with_sessions());
    ASSERT_EQ(out.lines.size(), 11u);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(has(out.lines[i], "\"constraint_violations\": []")) << i;
    const bool over = has(out.lines[10], R"("constraint_violations": [{"kind": "RateLimit", "target": "tool_call", )"
                                         R"("limit": 10, "current": 11, "window_ms": 60000}])");
    EXPECT_EQ(over, spacing == 5000u) << spacing;
  }
}

// The deadline counts from the session's first event, not from the replay.
TEST(Replay, DeadlinePassesBetweenEventsAnHourApart) {
  Outcome late = replay(event("s", kT0, "search") + event("s", kT0 + 3600000, "approve"), with_sessions());
  EXPECT_TRUE(has(late.lines[0], "\"violations\": []"));
  EXPECT_TRUE(has(late.lines[1], R"("violations": [{"proof": "approval", "invariant": "approved_in_time", )"
                                 R"("kind": "Eventually")"));
  Outcome early = replay(event("s", kT0, "search") + event("s", kT0 + 60000, "approve"), with_sessions());
  EXPECT_TRUE(has(early.lines[1], "\"violations\": []"));
  // A session that starts late has its own deadline.
  Outcome other = replay(event("a", kT0, "search") + event("b", kT0 + 3000000, "search") +
                             event("b", kT0 + 3600000, "approve"),
                         with_sessions());
  EXPECT_TRUE(has(other.lines[2], "\"violations\": []"));
}

TEST(Replay, SessionsKeepTheirOwnMonitors) {
  const std::string trace = event("a", kT0, "read_secret") + event("b", kT0 + 1, "upload") +
                            event("b", kT0 + 2, "search") + event("a", kT0 + 3, "upload");
  Outcome apart = replay(trace, with_sessions());
  ASSERT_EQ(apart.lines.size(), 4u);
  EXPECT_TRUE(has(apart.lines[1], R"("session": "b")"));
  EXPECT_TRUE(has(apart.lines[1], "\"violations\": []"));
  EXPECT_TRUE(has(apart.lines[3], R"("verdict": "deny", "reason": "Invariant violation: secrets_stay)"));
  EXPECT_EQ(apart.summary.sessions(), 2u);
  // Without sessions the upload of "b" follows the read of "a".
  ReplayOptions one;
  std::string untagged = std::regex_replace(trace, std::regex(R"("session": "\w", )"), "");
  Outcome together = replay(untagged, one);
  EXPECT_TRUE(has(together.lines[1], R"("verdict": "deny")"));
}

TEST(Replay, TimeGoingBackwardsStopsTheReplayUnlessSorted) {
  const std::string trace = event("a", kT0 + 1000, "search") + event("b", kT0, "search") +
                            event("a", kT0 + 500, "search") + event("a", kT0 + 2000, "search");
  Outcome plain = replay(trace, with_sessions());
  EXPECT_EQ(plain.stop.kind, ReplayStop::Kind::TimeBackwards);
  EXPECT_EQ(plain.stop.line, 3u);
  EXPECT_EQ(plain.stop.message,
            "time goes backwards in session \"a\": ts 1714564800500 is before 1714564801000 of line 1 "
            "(sort the replay to order each session by time)");
  EXPECT_EQ(plain.lines.size(), 2u);

  ReplayOptions sorted = with_sessions();
  sorted.sort = true;
  Outcome ordered = replay(trace, sorted);
  EXPECT_TRUE(ordered.summary.bad_lines().empty());
  ASSERT_EQ(ordered.lines.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_TRUE(has(ordered.lines[i], "{\"line\": " + std::to_string(i + 1)));
  // Line 3 was evaluated before line 1: the window of "a" saw it first.
  EXPECT_TRUE(has(ordered.lines[2], R"("ts": 1714564800500)"));
}

TEST(Replay, BadLinesAreCountedAndSkippedOrStopTheStrictReplay) {
  const std::string trace = event("a", kT0, "search") + "not json\n\n" + R"({"session": "a", "ts": 1})" + "\n" +
                            event("a", kT0 + 1, "search");
  Outcome lenient = replay(trace, with_sessions());
  EXPECT_EQ(lenient.lines.size(), 2u);
  ASSERT_EQ(lenient.summary.bad_lines().size(), 2u);
  EXPECT_EQ(lenient.summary.bad_lines()[0].line, 2u);
  EXPECT_EQ(lenient.summary.bad_lines()[0].message, "not valid JSON: expected true, false or null (column 1)");
  EXPECT_EQ(lenient.summary.bad_lines()[1].line, 4u);  // the blank line 3 is counted, not replayed
  EXPECT_EQ(lenient.summary.bad_lines()[1].message, "\"type\" is missing");
  EXPECT_TRUE(has(lenient.lines[1], R"({"line": 5,)"));

  for (bool sort : {false, true}) {
    ReplayOptions strict = with_sessions();
    strict.strict = true;
    strict.sort = sort;
    Outcome stopped = replay(trace, strict);
    EXPECT_EQ(stopped.stop.kind, ReplayStop::Kind::StrictBadLine);
    EXPECT_EQ(stopped.stop.line, 2u);
    EXPECT_EQ(stopped.summary.events(), sort ? 0u : 1u);
  }
}

TEST(Replay, EventsWithoutTimeTakeTheTimeBeforeThem) {
  ReplayOptions o = with_sessions();
  o.start_ms = 777;
  Outcome out = replay(R"({"type": "x", "session": "a"})"
                       "\n"
                       R"({"type": "x", "session": "a", "ts": 1000})"
                       "\n"
                       R"({"type": "x", "session": "a"})"
                       "\n"
                       R"({"type": "x", "session": "b"})",
                       o);
  ASSERT_EQ(out.lines.size(), 4u);
  EXPECT_TRUE(has(out.lines[0], R"("ts": 777,)"));
  EXPECT_TRUE(has(out.lines[1], R"("ts": 1000,)"));
  EXPECT_TRUE(has(out.lines[2], R"("ts": 1000,)"));
  EXPECT_TRUE(has(out.lines[3], R"("ts": 777,)"));
}

// Fields no expression reads are checked but not built: they change no
// result, and a bad one still makes its line bad.
TEST(Replay, UnreadFieldsAreCheckedNotBuilt) {
  const std::string plain = R"({"type": "tool_call", "ts": 1, "fields": {"tool": "shell"}})";
  const std::string wide =
      R"({"type": "tool_call", "ts": 1, "fields": {"other": {"x": [1, "two", null]}, "tool": "shell", "n": 3}})";
  Outcome a = replay(plain);
  Outcome b = replay(wide);
  ASSERT_EQ(b.lines.size(), 1u);
  EXPECT_EQ(a.lines[0], b.lines[0]);
  Outcome bad = replay(R"({"type": "tool_call", "ts": 1, "fields": {"other": [1,], "tool": "shell"}})");
  ASSERT_EQ(bad.summary.bad_lines().size(), 1u);
  EXPECT_EQ(bad.summary.bad_lines()[0].message, "not valid JSON: expected a value (column 55)");
}

TEST(Replay, CallersNumberTheLines) {
  const std::string trace = event("a", kT0, "search") + "\n" + event("a", kT0 + 1, "search");
  Outcome out = replay(trace, with_sessions(), std::vector<std::uint64_t>{40, 97});
  EXPECT_TRUE(has(out.lines[0], R"({"line": 40,)"));
  EXPECT_TRUE(has(out.lines[1], R"({"line": 97,)"));
  Outcome wrong = replay(trace, with_sessions(), std::vector<std::uint64_t>{1});
  EXPECT_EQ(wrong.stop.kind, ReplayStop::Kind::LineNumbers);
  EXPECT_EQ(wrong.stop.message, "1 line numbers for 2 non-blank lines");
}

// Property: sessions are independent and sorting restores each session's
// order, so a random interleaving of sessions, replayed sorted, gives every
// event the result it gets when its session is replayed alone, in order.
TEST(Replay, InterleavedSessionsMatchSessionsReplayedAlone) {
  std::mt19937 rng(20240611);
  const char* tools[] = {"search", "shell", "read_secret", "upload", "approve"};
  for (int round = 0; round < 20; ++round) {
    std::map<std::string, std::vector<std::string>> alone;  // session -> its events in time order
    std::vector<std::pair<std::string, std::string>> all;   // (session, line)
    for (int s = 0; s < 4; ++s) {
      const std::string name = "s" + std::to_string(s);
      std::uint64_t ts = kT0 + rng() % 100000;
      for (int e = 0; e < 15; ++e) {
        ts += rng() % 400000;
        std::string line = event(name, ts, tools[rng() % 5]);
        alone[name].push_back(line);
        all.emplace_back(name, line);
      }
    }
    std::shuffle(all.begin(), all.end(), rng);
    std::string trace;
    for (const auto& [name, line] : all) trace += line;
    ReplayOptions sorted = with_sessions();
    sorted.sort = true;
    Outcome mixed = replay(trace, sorted);
    ASSERT_EQ(mixed.lines.size(), all.size());
    std::map<std::string, std::string> by_event;  // "session ts type" result part -> result
    auto key_of = [](const std::string& line) { return line.substr(line.find("\"session\"")); };
    for (const auto& line : mixed.lines) by_event[key_of(line)] += "|";
    for (const auto& [name, lines] : alone) {
      std::string text;
      for (const auto& l : lines) text += l;
      Outcome single = replay(text, with_sessions());
      for (const auto& line : single.lines) EXPECT_TRUE(by_event.count(key_of(line))) << line;
    }
  }
}

}  // namespace
}  // namespace zelvo::replay
