#include "replay/replay.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "engine/result.h"
#include "replay/event_line.h"
#include "replay/line_error.h"
#include "replay/result_line.h"
#include "replay/sessions.h"
#include "replay/trace_lines.h"

namespace zelvo::replay {
namespace {

// Result lines are handed to the sink once this many bytes are waiting.
constexpr std::size_t kFlushBytes = 1 << 20;

struct Hash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// What both orders share: the reader, the reused event and result records,
// the output buffer and the sessions.
class Run {
 public:
  Run(const CompiledPolicy& policy, const ReplayOptions& options, ResultSink& sink, ReplaySummary& summary,
      bool build_fields, const CompiledPolicy* against, ChangeGroups* changes = nullptr)
      : options_(options), sink_(sink), summary_(summary), changes_(changes),
        reader_(options.session_key, /*borrow_strings=*/true, build_fields),
        use_(FieldUse::of(policy)),
        sessions_(policy, against, options.context, options.config) {
    // Both policies' fields are kept when comparing.
    types_.reserve(kTypesKept);
    if (against == nullptr) reader_.build_only_read_fields(&use_);
    else against_use_.emplace(FieldUse::of(*against));
  }

  bool sessions_on() const noexcept { return !options_.session_key.empty(); }

  // Reads a line; on failure counts it as bad and returns false (`stop`
  // set under strict).
  bool read(const TraceLine& line, ReplayStop& stop) {
    if (reader_.read(line.text, event_)) return true;
    bad_line(line.number, describe(reader_.error()), stop);
    return false;
  }

  void bad_line(std::uint64_t number, std::string message, ReplayStop& stop) {
    if (options_.strict) {
      stop.kind = ReplayStop::Kind::StrictBadLine;
      locate(number, stop);
      stop.message = message;
    }
    summary_.add_bad_line(number, std::move(message));
  }

  // Names `number` in `stop` by its file and line.
  void locate(std::uint64_t number, ReplayStop& stop) const {
    const FileLine at = options_.files.locate(number);
    stop.line = at.line;
    stop.file.assign(at.file);
  }

  // The session name of the event just read ("" without sessions).
  std::string_view session_name() const noexcept { return sessions_on() ? event_.session_key : std::string_view(); }
  const EventLine& event() const noexcept { return event_; }

  // Evaluates the event just read in `session` at `ts` and writes its line;
  // `order` is its place among the trace's good lines.
  void evaluate(Session& session, std::uint64_t ts, std::uint64_t number, std::uint64_t order, ResultText& out) {
    event_.event.timestamp = ts;
    // A reader that builds only the read fields has noted their positions.
    if (session.against || event_.positions.empty()) locate_fields(use_);
    session.engine.evaluate(event_.event, result_);
    session.last_ts = ts;
    session.last_line = number;
    ResultHead head;
    if (sessions_on()) {
      head.session = event_.session;
      if (session.name_json.empty()) session.name_json = quoted_text(event_.session);
      head.session_json = session.name_json;
    }
    head.ts = ts;
    head.type = event_.event.event_type.view();
    head.type_json = type_json(head.type);
    head.expect = event_.expect;
    summary_.add(result_, number, head.session, head.type, event_.expect);
    if (session.against) {
      locate_fields(*against_use_);
      session.against->evaluate(event_.event, against_result_);
      // Events both policies decide alike are counted, not written.
      if (result_.verdict == against_result_.verdict && result_.triggered_rules == against_result_.triggered_rules) {
        return;
      }
    }
    const FileLine at = options_.files.locate(number);
    head.line = at.line;
    if (!options_.files.empty()) head.file = at.file;
    write_result_line(out, head, result_);
    if (session.against) {
      write_result_line(out, head, against_result_);
      if (changes_ != nullptr) changes_->add(head, order, result_, against_result_);
    }
  }

  // Where the fields `use` numbers landed in the event just read, attached
  // to it, so that rules need not search for them by name (every session's
  // engine of one policy numbers them alike).
  void locate_fields(const FieldUse& use) {
    positions_.resize(use.count());
    use.locate(event_.event.fields, positions_);
    event_.event.field_positions = positions_;
  }

  // The type's JSON text, from the few types last seen (empty when they
  // are too many: the caller quotes it then).
  std::string_view type_json(std::string_view type) {
    for (const auto& [text, json] : types_) {
      if (text == type) return json;
    }
    if (types_.size() >= kTypesKept) return {};
    types_.emplace_back(std::string(type), quoted_text(type));
    return types_.back().second;
  }

  bool flush(ResultText& out, ReplayStop& stop) {
    if (out.size() == 0) return true;
    if (!sink_.take(out)) {
      stop.kind = ReplayStop::Kind::Sink;
      return false;
    }
    out.clear();
    reserve(out);
    return true;
  }

  // Room for what is written between two flushes, so that the text is
  // never moved as it grows.
  static void reserve(ResultText& out) { out.reserve(kFlushBytes + kFlushBytes / 4); }

  SessionTable& sessions() noexcept { return sessions_; }
  const ReplayOptions& options() const noexcept { return options_; }
  ReplaySummary& summary() noexcept { return summary_; }

 private:
  const ReplayOptions& options_;
  ResultSink& sink_;
  ReplaySummary& summary_;
  ChangeGroups* changes_;
  EventLineReader reader_;
  EventLine event_;
  EvalResult result_;
  EvalResult against_result_;
  FieldUse use_;  // the fields the policy reads: every session's engine numbers them alike
  std::optional<FieldUse> against_use_;
  std::vector<std::uint32_t> positions_;
  SessionTable sessions_;
  static constexpr std::size_t kTypesKept = 16;
  std::vector<std::pair<std::string, std::string>> types_;  // reserved: views into it stay valid
};

TraceLines lines_of(std::string_view data, const std::optional<std::span<const std::uint64_t>>& numbers) {
  return numbers ? TraceLines(data, *numbers) : TraceLines(data);
}

ReplayStop in_trace_order(const CompiledPolicy& policy, const ReplayOptions& options, TraceLines lines,
                          ResultSink& sink, ReplaySummary& summary, const CompiledPolicy* against,
                          ChangeGroups* changes) {
  ReplayStop stop;
  Run run(policy, options, sink, summary, /*build_fields=*/true, against, changes);
  std::uint64_t order = 0;
  ResultText out;
  Run::reserve(out);
  TraceLine line;
  while (lines.next(line)) {
    if (!run.read(line, stop)) {
      if (stop) break;
      continue;
    }
    const std::string_view name = run.session_name();
    Session* session = run.sessions().find(name);
    const auto& ts_written = run.event().ts;
    const std::uint64_t ts = ts_written ? *ts_written : session ? session->last_ts : options.start_ms;
    if (session != nullptr && ts < session->last_ts) {
      LineError error;
      error.code = LineErrc::TimeBackwards;
      error.text = name;
      error.ts = ts;
      error.previous_ts = session->last_ts;
      error.previous = options.files.where(session->last_line);
      stop.kind = ReplayStop::Kind::TimeBackwards;
      run.locate(line.number, stop);
      stop.message = describe(error);
      break;
    }
    if (session == nullptr) {
      session = &run.sessions().open(name, ts);
      summary.count_session();
    }
    run.evaluate(*session, ts, line.number, order++, out);
    if (out.size() >= kFlushBytes && !run.flush(out, stop)) return stop;
  }
  run.flush(out, stop);
  return stop;
}

struct Entry {
  std::string_view text;
  std::uint64_t number;
  std::uint64_t ts;
  std::uint32_t session;
  std::uint32_t ordinal;  // among the good lines, in the trace's order
};

ReplayStop in_time_order(const CompiledPolicy& policy, const ReplayOptions& options, TraceLines lines,
                         ResultSink& sink, ReplaySummary& summary, const CompiledPolicy* against,
                         ChangeGroups* changes) {
  ReplayStop stop;
  // First pass: check every line, note its session and its time.
  std::vector<Entry> entries;
  {
    Run check(policy, options, sink, summary, /*build_fields=*/false, nullptr);
    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> ids;
    std::vector<std::uint64_t> last_ts;
    TraceLine line;
    while (lines.next(line)) {
      if (!check.read(line, stop)) {
        if (stop) return stop;
        continue;
      }
      const std::string_view name = check.session_name();
      auto it = ids.find(name);
      if (it == ids.end()) {
        it = ids.emplace(std::string(name), static_cast<std::uint32_t>(ids.size())).first;
        last_ts.push_back(check.event().ts.value_or(options.start_ms));
        summary.count_session();
      }
      const std::uint32_t id = it->second;
      const std::uint64_t ts = check.event().ts.value_or(last_ts[id]);
      last_ts[id] = ts;
      entries.push_back(Entry{line.text, line.number, ts, id, static_cast<std::uint32_t>(entries.size())});
    }
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.session != b.session ? a.session < b.session : a.ts < b.ts;
  });

  // Second pass: each session in turn, in time order, its engine dropped
  // once its last event is done.
  Run run(policy, options, sink, summary, /*build_fields=*/true, against, changes);
  ResultText results;
  std::vector<std::pair<std::size_t, std::size_t>> spans(entries.size(), {0, 0});
  Session* session = nullptr;
  std::string session_name;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    if (!run.read(TraceLine{entry.text, entry.number}, stop)) {
      if (stop) return stop;
      continue;  // cannot happen: the first pass read the same text
    }
    if (i == 0 || entry.session != entries[i - 1].session) {
      if (session != nullptr) run.sessions().close(session_name);
      session_name.assign(run.session_name());
      session = &run.sessions().open(session_name, entry.ts);
    }
    const std::size_t start = results.size();
    run.evaluate(*session, entry.ts, entry.number, entry.ordinal, results);
    spans[entry.ordinal] = {start, results.size() - start};
  }
  if (session != nullptr) run.sessions().close(session_name);
  summary.order_by_line();

  // Results in the trace's order.
  ResultText out;
  Run::reserve(out);
  const std::string_view all = results.view();
  for (const auto& [start, length] : spans) {
    out.raw(all.substr(start, length));
    if (out.size() >= kFlushBytes && !run.flush(out, stop)) return stop;
  }
  run.flush(out, stop);
  return stop;
}

}  // namespace

ReplayStop replay_trace(const CompiledPolicy& policy, const ReplayOptions& options, std::string_view data,
                        std::optional<std::span<const std::uint64_t>> line_numbers, ResultSink& sink,
                        ReplaySummary& summary, const CompiledPolicy* against, ChangeGroups* changes) {
  if (against == nullptr) changes = nullptr;
  if (line_numbers) {
    const std::size_t count = TraceLines::count(data);
    if (count != line_numbers->size()) {
      ReplayStop stop;
      stop.kind = ReplayStop::Kind::LineNumbers;
      stop.message = std::to_string(line_numbers->size()) + " line numbers for " + std::to_string(count) +
                     " non-blank lines";
      return stop;
    }
  }
  TraceLines lines = lines_of(data, line_numbers);
  ReplayStop stop = options.sort ? in_time_order(policy, options, lines, sink, summary, against, changes)
                                 : in_trace_order(policy, options, lines, sink, summary, against, changes);
  if (changes != nullptr) changes->finish();
  return stop;
}

}  // namespace zelvo::replay
