#include "replay/summary.h"

#include <algorithm>
#include <cmath>

namespace zelvo::replay {

bool ReplaySummary::add(const EvalResult& r, std::uint64_t line, std::optional<std::string_view> session,
                        std::string_view type, std::optional<Verdict> expect) {
  ++events_;
  ++verdicts_[static_cast<std::size_t>(r.verdict)];
  for (std::uint32_t id : r.triggered_rules) {
    if (id < kDenseRules) {
      if (id >= dense_rules_.size()) dense_rules_.resize(std::max<std::size_t>(id + 1, dense_rules_.size() * 2));
      ++dense_rules_[id];
    } else {
      ++sparse_rules_[id];
    }
  }
  for (const ConstraintViolation& c : r.constraint_violations) {
    ++constraints_[ConstraintKey(c.kind, c.target.str(), c.limit, c.window_ms)];
  }
  for (const Violation& v : r.violations) {
    ++invariants_[InvariantKey(v.proof.str(), v.invariant.str(), v.kind)];
  }
  if (r.eval_time_us < kDenseMicros) {
    ++dense_micros_[r.eval_time_us];
  } else {
    ++sparse_micros_[r.eval_time_us];
  }
  micros_total_ += static_cast<long double>(r.eval_time_us);
  if (!expect) return true;
  ++expectations_;
  if (*expect == r.verdict) return true;
  Mismatch& m = mismatches_.emplace_back();
  m.line = line;
  if (session) m.session.emplace(*session);
  m.type.assign(type);
  m.expected = *expect;
  m.actual = r.verdict;
  if (r.reason) m.reason.emplace(r.reason->view());
  return false;
}

void ReplaySummary::add_bad_line(std::uint64_t line, std::string message) {
  bad_lines_.push_back(BadLine{line, std::move(message)});
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> ReplaySummary::rule_counts() const {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
  for (std::size_t id = 0; id < dense_rules_.size(); ++id) {
    if (dense_rules_[id] != 0) out.emplace_back(static_cast<std::uint32_t>(id), dense_rules_[id]);
  }
  std::vector<std::pair<std::uint32_t, std::uint64_t>> sparse(sparse_rules_.begin(), sparse_rules_.end());
  std::sort(sparse.begin(), sparse.end());
  out.insert(out.end(), sparse.begin(), sparse.end());
  return out;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> ReplaySummary::latency_histogram() const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for (std::size_t us = 0; us < dense_micros_.size(); ++us) {
    if (dense_micros_[us] != 0) out.emplace_back(us, dense_micros_[us]);
  }
  out.insert(out.end(), sparse_micros_.begin(), sparse_micros_.end());
  return out;
}

std::uint64_t ReplaySummary::latency_percentile(double p) const {
  const auto rank = static_cast<std::uint64_t>(
      std::max<double>(1.0, std::ceil(p / 100.0 * static_cast<double>(events_))));
  std::uint64_t seen = 0;
  for (const auto& [us, count] : latency_histogram()) {
    seen += count;
    if (seen >= rank) return us;
  }
  return latency_max();
}

std::uint64_t ReplaySummary::latency_max() const {
  if (!sparse_micros_.empty()) return sparse_micros_.rbegin()->first;
  for (std::size_t us = dense_micros_.size(); us-- > 0;) {
    if (dense_micros_[us] != 0) return us;
  }
  return 0;
}

double ReplaySummary::latency_mean() const noexcept {
  return events_ == 0 ? 0.0 : static_cast<double>(micros_total_ / static_cast<long double>(events_));
}

void ReplaySummary::order_by_line() {
  std::stable_sort(mismatches_.begin(), mismatches_.end(),
                   [](const Mismatch& a, const Mismatch& b) { return a.line < b.line; });
  std::stable_sort(bad_lines_.begin(), bad_lines_.end(),
                   [](const BadLine& a, const BadLine& b) { return a.line < b.line; });
}

}  // namespace zelvo::replay
