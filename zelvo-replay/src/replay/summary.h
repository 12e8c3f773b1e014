// ReplaySummary: what a replay counted, event by event.
//
// Contracts:
//   - add() counts one evaluated event: its verdict, each fired rule, each
//     constraint violation (by kind, target, limit and window), each
//     invariant violation (by proof, invariant and kind), its evaluation
//     time, and its expectation when it had one.
//   - Every figure but the times is a function of the results alone, so two
//     replays of one trace have equal summaries apart from the times.
//   - Times are kept as a histogram of whole microseconds, so percentiles
//     are exact and summaries of parts of a trace merge exactly.
//   - Cost per event: a few array increments; a map update only for rule
//     ids of 65,536 and above, violations and mismatches.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "engine/result.h"
#include "model/enums.h"

namespace zelvo::replay {

struct Mismatch {
  std::uint64_t line = 0;
  std::optional<std::string> session;
  std::string type;
  Verdict expected = Verdict::Allow;
  Verdict actual = Verdict::Allow;
  std::optional<std::string> reason;
};

struct BadLine {
  std::uint64_t line = 0;
  std::string message;
};

// (kind, target, limit, window_ms)
using ConstraintKey = std::tuple<ConstraintKind, std::string, std::uint64_t, std::uint64_t>;
// (proof, invariant, kind)
using InvariantKey = std::tuple<std::string, std::string, TemporalKind>;

class ReplaySummary {
 public:
  // Counts one evaluated event; returns whether it met its expectation
  // (true when it had none).
  bool add(const EvalResult& result, std::uint64_t line, std::optional<std::string_view> session,
           std::string_view type, std::optional<Verdict> expect);
  void add_bad_line(std::uint64_t line, std::string message);
  // Sessions that had at least one event evaluated.
  void count_session() noexcept { ++sessions_; }

  std::uint64_t events() const noexcept { return events_; }
  std::uint64_t sessions() const noexcept { return sessions_; }
  std::uint64_t verdict_count(Verdict v) const noexcept { return verdicts_[static_cast<std::size_t>(v)]; }
  // (rule id, events it fired on), ascending by id.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> rule_counts() const;
  const std::map<ConstraintKey, std::uint64_t>& constraints() const noexcept { return constraints_; }
  const std::map<InvariantKey, std::uint64_t>& invariants() const noexcept { return invariants_; }
  std::uint64_t expectations() const noexcept { return expectations_; }
  const std::vector<Mismatch>& mismatches() const noexcept { return mismatches_; }
  const std::vector<BadLine>& bad_lines() const noexcept { return bad_lines_; }

  // (microseconds, events), ascending.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> latency_histogram() const;
  // Nearest-rank percentile: the smallest time with at least p percent of
  // the events at or below it. Needs events() > 0.
  std::uint64_t latency_percentile(double p) const;
  std::uint64_t latency_max() const;
  double latency_mean() const noexcept;

  // Puts the mismatches and bad lines in line order (a sorted replay finds
  // them out of order).
  void order_by_line();

 private:
  static constexpr std::size_t kDenseRules = 1u << 16;
  static constexpr std::size_t kDenseMicros = 4096;

  std::uint64_t events_ = 0;
  std::uint64_t sessions_ = 0;
  std::array<std::uint64_t, 4> verdicts_{};
  std::vector<std::uint64_t> dense_rules_;  // by id, grown on demand
  std::unordered_map<std::uint32_t, std::uint64_t> sparse_rules_;
  std::map<ConstraintKey, std::uint64_t> constraints_;
  std::map<InvariantKey, std::uint64_t> invariants_;
  std::uint64_t expectations_ = 0;
  std::vector<Mismatch> mismatches_;
  std::vector<BadLine> bad_lines_;
  std::vector<std::uint64_t> dense_micros_ = std::vector<std::uint64_t>(kDenseMicros);
  std::map<std::uint64_t, std::uint64_t> sparse_micros_;
  long double micros_total_ = 0;
};

}  // namespace zelvo::replay
