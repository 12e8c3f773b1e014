#include "replay/change_groups.h"

#include <algorithm>
#include <iterator>

namespace zelvo::replay {
namespace {

void sorted_set(const std::vector<std::uint32_t>& rules, std::vector<std::uint32_t>& out) {
  out.assign(rules.begin(), rules.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
}

void write_label(ResultText& out, const ChangeGroup& group) {
  out.raw(verdict_text(group.before));
  if (group.before != group.after) {
    out.raw(" -> ");
    out.raw(verdict_text(group.after));
  } else {
    out.raw(" (same verdict)");
  }
  if (group.stopped.empty() && group.started.empty()) return;
  out.raw(", rules");
  for (const std::uint32_t id : group.stopped) {
    out.raw(" -");
    out.u64(id);
  }
  for (const std::uint32_t id : group.started) {
    out.raw(" +");
    out.u64(id);
  }
}

std::optional<std::string> reason_of(const EvalResult& result) {
  if (!result.reason) return std::nullopt;
  return std::string(result.reason->view());
}

}  // namespace

void ChangeGroups::add(const ResultHead& head, std::uint64_t order, const EvalResult& before,
                       const EvalResult& after) {
  sorted_set(before.triggered_rules, before_set_);
  sorted_set(after.triggered_rules, after_set_);
  stopped_.clear();
  started_.clear();
  std::set_difference(before_set_.begin(), before_set_.end(), after_set_.begin(), after_set_.end(),
                      std::back_inserter(stopped_));
  std::set_difference(after_set_.begin(), after_set_.end(), before_set_.begin(), before_set_.end(),
                      std::back_inserter(started_));
  if (before.verdict == after.verdict && stopped_.empty() && started_.empty()) return;

  Key key{before.verdict, after.verdict, stopped_, started_};
  auto [it, added] = index_.try_emplace(std::move(key), groups_.size());
  if (added) {
    ChangeGroup& group = groups_.emplace_back();
    group.before = before.verdict;
    group.after = after.verdict;
    group.stopped = stopped_;
    group.started = started_;
  }
  ChangeGroup& group = groups_[it->second];
  ++group.count;
  if (examples_per_change_ > 0 &&
      (group.examples.size() < examples_per_change_ || order < group.examples.back().order)) {
    ChangeExample example;
    example.line = head.line;
    if (head.file) example.file.emplace(*head.file);
    if (head.session) example.session.emplace(*head.session);
    example.type.assign(head.type);
    example.before_rules = before.triggered_rules;
    example.after_rules = after.triggered_rules;
    example.before_reason = reason_of(before);
    example.after_reason = reason_of(after);
    example.order = order;
    auto at = std::upper_bound(group.examples.begin(), group.examples.end(), order,
                               [](std::uint64_t o, const ChangeExample& e) { return o < e.order; });
    group.examples.insert(at, std::move(example));
    if (group.examples.size() > examples_per_change_) group.examples.pop_back();
  }

  if (!spans_.empty() && order < spans_.back().order) in_order_ = false;
  const std::size_t start = lines_.size();
  lines_.raw("{\"line\":");
  lines_.u64(head.line);
  if (head.file) {
    lines_.raw(",\"file\":");
    lines_.quoted(*head.file);
  }
  lines_.raw(",\"session\":");
  if (head.session) {
    lines_.quoted(*head.session);
  } else {
    lines_.raw("null");
  }
  lines_.raw(",\"ts\":");
  lines_.u64(head.ts);
  lines_.raw(",\"type\":");
  lines_.quoted(head.type);
  lines_.raw(",\"change\":\"");
  write_label(lines_, group);
  lines_.raw("\",\"before\":");
  write_result_compact(lines_, before);
  lines_.raw(",\"after\":");
  write_result_compact(lines_, after);
  lines_.raw("}\n");
  spans_.push_back(Span{order, start, lines_.size() - start});
}

void ChangeGroups::finish() {
  if (in_order_) return;
  std::stable_sort(spans_.begin(), spans_.end(), [](const Span& a, const Span& b) { return a.order < b.order; });
  ResultText ordered;
  ordered.reserve(lines_.size());
  const std::string_view all = lines_.view();
  for (const Span& span : spans_) ordered.raw(all.substr(span.start, span.size));
  lines_ = std::move(ordered);
  in_order_ = true;
}

}  // namespace zelvo::replay
