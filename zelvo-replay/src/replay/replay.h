// Replay: a trace of events evaluated in event time, one engine per
// session, with one result line per event in the trace's order.
//
// Time. Each event is evaluated at its own `ts`, so rate-limit windows and
// state-machine deadlines see the times the events happened at, however
// fast the replay runs. A session's engine is built at the time of its
// first event. An event without `ts` happens at the time of the event
// before it in its session; a session whose first events carry no `ts`
// starts at ReplayOptions::start_ms (the caller's choice: the wall clock
// when the replay starts, or a fixed time for a reproducible replay).
//
// Order. Without sorting, a session's events must not go back in time: an
// event earlier than the one before it in its session stops the replay
// (ReplayStop::Kind::TimeBackwards, naming both lines), since every later
// result of that session would be computed in the wrong order. With sorting, each session's events
// are evaluated in time order (events with equal times in the trace's
// order); results are still written in the trace's order.
//
// Bad lines (see event_line.h for what a line may hold) are counted with
// their numbers and messages and skipped; nothing else is lost. With
// `strict` the replay stops at the first one instead.
//
// Cost: one pass over the text without sorting, holding one engine per
// session seen; with sorting, a first pass that checks every line and
// keeps 40 bytes per line, then a second that reads each line again in
// session and time order, holding one engine at a time and every result
// line until the end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "event/value_map.h"
#include "model/policy.h"
#include "replay/change_groups.h"
#include "replay/result_line.h"
#include "replay/summary.h"
#include "replay/trace_files.h"

namespace zelvo::replay {

struct ReplayOptions {
  std::string session_key;     // empty: the whole trace is one session
  bool sort = false;
  bool strict = false;
  std::uint64_t start_ms = 0;  // the time of a session's first events when they carry no ts
  ValueMap context;            // stored in every session's engine before its first event
  ValueMap config;
  // The files the trace was joined from: given, each result line and each
  // stop names its file and its line there (the summary keeps the numbers
  // through the whole trace); empty, lines keep their numbers.
  TraceFiles files;
};

// Receives the result lines, in the trace's order, in chunks of whole lines.
class ResultSink {
 public:
  virtual ~ResultSink() = default;
  // False stops the replay (the sink keeps its own error).
  virtual bool write(std::string_view lines) = 0;
  // The same, for a sink that may keep `lines`' storage rather than copy
  // it: `lines` may be left empty with no storage.
  virtual bool take(ResultText& lines) { return write(lines.view()); }
};

struct ReplayStop {
  enum class Kind : std::uint8_t { None, StrictBadLine, TimeBackwards, LineNumbers, Sink };
  Kind kind = Kind::None;
  std::uint64_t line = 0;   // StrictBadLine, TimeBackwards: the line (in its file, when files are named)
  std::string file;         // StrictBadLine, TimeBackwards: its file ("" when files are not named)
  std::string message;      // StrictBadLine, TimeBackwards: the line's problem; LineNumbers: what is wrong
  explicit operator bool() const noexcept { return kind != Kind::None; }
};

// Replays the non-blank lines of `data` (see trace_lines.h), numbered by
// position or by `line_numbers` (one per non-blank line) when given.
// Results go to `sink`; what was counted goes to `summary`. Returns why the
// replay stopped early, if it did. Never throws but std::bad_alloc.
//
// With `against`, each line is read once and evaluated by both policies
// (each session holding an engine of each); only the events whose verdict
// or fired rules differ are written, each as two result lines, under
// `policy` then under `against`. The summary counts `policy`'s results.
// `changes`, when given with `against`, also gathers those events by their
// change (change_groups.h), finished when the replay returns.
ReplayStop replay_trace(const CompiledPolicy& policy, const ReplayOptions& options, std::string_view data,
                        std::optional<std::span<const std::uint64_t>> line_numbers, ResultSink& sink,
                        ReplaySummary& summary, const CompiledPolicy* against = nullptr,
                        ChangeGroups* changes = nullptr);

}  // namespace zelvo::replay
