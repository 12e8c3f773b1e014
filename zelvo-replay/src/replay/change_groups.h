// ChangeGroups: the events two policies decide differently, grouped by
// their change, as a replay against a second policy finds them.
//
// An event differs when its verdict or the set of rules that fired
// differs (the same rules listed otherwise is no change). Its change is the
// verdict under each policy, the rules that fired only under the first
// ("stopped") and those that fired only under the second ("started"), each
// in increasing order. Each group keeps its count and its first examples in
// the trace's order.
//
// Each differing event is also written as one JSON line, compact, in the
// trace's order:
//
//   {"line":12,"file":"a.jsonl","session":"s-17","ts":1714564800000,"type":"tool_call",
//    "change":"deny -> allow, rules -3 +5","before":{...},"after":{...}}
//
// "file" only when the trace names its files; "session" null without
// sessions; "before" and "after" the result dictionaries (result_line.h).
//
// Cost: per differing event, its rule sets compared and one line written;
// per group, its examples. Events both policies decide alike cost nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "engine/result.h"
#include "replay/result_line.h"

namespace zelvo::replay {

struct ChangeExample {
  std::uint64_t line = 0;             // in its file when files are named
  std::optional<std::string> file;
  std::optional<std::string> session;
  std::string type;
  std::vector<std::uint32_t> before_rules;
  std::vector<std::uint32_t> after_rules;
  std::optional<std::string> before_reason;
  std::optional<std::string> after_reason;
  std::uint64_t order = 0;  // the trace's order
};

struct ChangeGroup {
  Verdict before = Verdict::Allow;
  Verdict after = Verdict::Allow;
  std::vector<std::uint32_t> stopped;
  std::vector<std::uint32_t> started;
  std::uint64_t count = 0;
  std::vector<ChangeExample> examples;  // in the trace's order
};

class ChangeGroups {
 public:
  explicit ChangeGroups(std::size_t examples_per_change) : examples_per_change_(examples_per_change) {}

  // One event whose results may differ; `order` is its place among the
  // trace's events (events may come in another order, see finish()).
  void add(const ResultHead& head, std::uint64_t order, const EvalResult& before, const EvalResult& after);

  // Puts the lines in the trace's order; call once, after the last add().
  void finish();

  // The groups, in the order their first event was added.
  const std::vector<ChangeGroup>& groups() const noexcept { return groups_; }
  // The differing events' lines, each ended by a line feed.
  std::string_view lines() const noexcept { return lines_.view(); }

 private:
  using Key = std::tuple<Verdict, Verdict, std::vector<std::uint32_t>, std::vector<std::uint32_t>>;
  struct Span {
    std::uint64_t order;
    std::size_t start;
    std::size_t size;
  };

  std::size_t examples_per_change_;
  std::map<Key, std::size_t> index_;  // into groups_
  std::vector<ChangeGroup> groups_;
  ResultText lines_;
  std::vector<Span> spans_;
  bool in_order_ = true;
  std::vector<std::uint32_t> before_set_, after_set_, stopped_, started_;
};

}  // namespace zelvo::replay
