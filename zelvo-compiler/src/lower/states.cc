#include "lower/states.h"

#include <string>
#include <vector>

#include "diag/suggest.h"

namespace zelvo::lang {

namespace {

// The position of the state a label names, or nothing (reported).
std::optional<std::uint32_t> position_of(const StateRef& ref, const StateMachine& m, DiagnosticSink& sink) {
  std::uint32_t position = 0;
  std::size_t matches = 0;
  for (std::size_t i = 0; i < m.states.size(); ++i) {
    if (m.states[i].label.view() != ref.label) continue;
    if (matches == 0) position = static_cast<std::uint32_t>(i);
    ++matches;
  }
  if (matches == 1) return position;
  if (matches > 1) {
    sink.report(Msg::AmbiguousState, ref.offset, {std::to_string(matches), ref.label}, Hint::StateByPosition,
                {std::to_string(position)});
    return std::nullopt;
  }
  std::vector<std::string> labels;
  for (const State& s : m.states) labels.emplace_back(s.label.view());
  const std::string near = nearest(ref.label, labels);
  if (near.empty()) {
    sink.report(Msg::UnknownState, ref.offset, {ref.label});
  } else {
    sink.report(Msg::UnknownState, ref.offset, {ref.label}, Hint::DidYouMean, {near});
  }
  return std::nullopt;
}

}  // namespace

void resolve_states(std::span<const StateRef> refs, StateMachine& m, DiagnosticSink& sink) {
  for (const StateRef& ref : refs) {
    std::uint32_t position = ref.position;
    if (ref.by_label) {
      const auto found = position_of(ref, m, sink);
      if (!found) continue;
      position = *found;
    }
    switch (ref.slot) {
      case StateSlot::Initial: m.initial_state = position; break;
      case StateSlot::Accepting: m.accepting_states[ref.index] = position; break;
      case StateSlot::Violating: m.violating_states[ref.index] = position; break;
      case StateSlot::TransitionFrom: m.transitions[ref.index].from = position; break;
      case StateSlot::TransitionTo: m.transitions[ref.index].to = position; break;
    }
  }
}

}  // namespace zelvo::lang
