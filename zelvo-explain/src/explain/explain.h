// explain(): what PolicyEngine::evaluate would do with one event, step by
// step, on the engine's current state.
//
//   zelvo::explain::Explanation x = zelvo::explain::explain(engine, event, &map);
//
// Contracts:
//   - Never changes the engine: it takes it const, reads its policy,
//     context, configuration, monitors and windows, and works on copies of
//     the monitors and the event's window.
//   - Adds nothing to evaluate: it is a separate walker built from the
//     same public pieces the engine runs (rule_selected, eval_truth,
//     apply_verdict, build_action, ConstraintWindow::record, step_monitor)
//     and, for the values of sub-expressions, eval_expr.
//   - `result` equals what evaluate(event) would return from the same state
//     (verdict, reason, triggered rules, actions, violations, constraint
//     violations), except eval_time_us, which is 0.
//   - With a source map (of the source this policy was compiled from),
//     spans are filled; a map that does not fit the policy (other counts of
//     rules, nodes, constraints, machines or transitions) is ignored
//     wherever it does not fit.
//   - Cost: evaluates every selected rule's condition once per node of it;
//     no cost at all for an engine that is never explained.
#pragma once

#include "compiler.h"
#include "engine/engine.h"
#include "event/event.h"
#include "explain/explanation.h"

namespace zelvo::explain {

Explanation explain(const PolicyEngine& engine, const Event& event, const lang::SourceMap* map = nullptr);

}  // namespace zelvo::explain
