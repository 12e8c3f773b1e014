// Fuzz target: explanations agree with evaluate and change nothing.
//
// Any input that decodes into a policy is loaded into an engine; a fixed
// session of events (every type the policy names, with a few field
// shapes, at increasing times) is then explained and evaluated event by
// event. The explanation's result must equal evaluate's (verdict, reason,
// fired rules, actions' verbs, violations, constraint violations), every
// fired rule must be one whose condition was true, and explaining must
// leave the engine's count and monitors as they were.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/clock.h"
#include "engine/engine.h"
#include "explain/explain.h"
#include "fuzz_util.h"
#include "model/json_decoder.h"

namespace {

std::vector<zelvo::Str> event_types(const zelvo::CompiledPolicy& policy) {
  std::vector<zelvo::Str> types{zelvo::Str("other")};
  for (const zelvo::CompiledRule& rule : policy.rules) {
    for (const zelvo::Str& t : rule.on_events) types.push_back(t);
  }
  for (const zelvo::CompiledConstraint& c : policy.constraints) types.push_back(c.target);
  if (types.size() > 8) types.resize(8);
  return types;
}

zelvo::ValueMap fields(int shape) {
  zelvo::ValueMap m;
  if (shape == 0) return m;
  m.insert_or_assign(zelvo::Str("path"), zelvo::Value::string(zelvo::Str(shape == 1 ? "/etc/x" : "secret")));
  m.insert_or_assign(zelvo::Str("tool"), zelvo::Value::string(zelvo::Str("shell")));
  m.insert_or_assign(zelvo::Str("size"), zelvo::Value::integer(shape * 50));
  return m;
}

void check_same(const zelvo::EvalResult& want, const zelvo::EvalResult& got) {
  if (want.verdict != got.verdict) zelvo_fuzz::fail("explained verdict differs");
  if (want.reason.has_value() != got.reason.has_value() ||
      (want.reason && want.reason->view() != got.reason->view())) {
    zelvo_fuzz::fail("explained reason differs");
  }
  if (want.triggered_rules != got.triggered_rules) zelvo_fuzz::fail("explained fired rules differ");
  if (want.actions.size() != got.actions.size()) zelvo_fuzz::fail("explained actions differ");
  for (std::size_t i = 0; i < want.actions.size(); ++i) {
    if (want.actions[i].verb != got.actions[i].verb) zelvo_fuzz::fail("explained action verbs differ");
  }
  if (want.violations.size() != got.violations.size()) zelvo_fuzz::fail("explained violations differ");
  for (std::size_t i = 0; i < want.violations.size(); ++i) {
    if (want.violations[i].message != got.violations[i].message) zelvo_fuzz::fail("explained violation differs");
  }
  if (want.constraint_violations.size() != got.constraint_violations.size()) {
    zelvo_fuzz::fail("explained constraint violations differ");
  }
  for (std::size_t i = 0; i < want.constraint_violations.size(); ++i) {
    if (want.constraint_violations[i].current != got.constraint_violations[i].current) {
      zelvo_fuzz::fail("explained window count differs");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto decoded = zelvo::parse_policy_json_bytes(bytes);
  if (!decoded) return 0;
  const zelvo::ManualClock clock(0);
  zelvo::PolicyEngine engine(std::move(decoded.value()), clock);
  const std::vector<zelvo::Str> types = event_types(engine.policy());
  std::uint64_t ts = 0;
  for (int round = 0; round < 3; ++round) {
    for (const zelvo::Str& type : types) {
      zelvo::Event event;
      event.event_type = type;
      event.fields = fields(round);
      event.timestamp = ts;
      ts += 400;
      std::vector<std::uint32_t> states;
      for (const zelvo::MachineMonitor& m : engine.monitors()) states.push_back(m.current_state);
      const std::uint64_t count = engine.event_count();
      const zelvo::explain::Explanation x = zelvo::explain::explain(engine, event);
      if (engine.event_count() != count) zelvo_fuzz::fail("explaining changed the event count");
      for (std::size_t i = 0; i < states.size(); ++i) {
        if (engine.monitors()[i].current_state != states[i]) zelvo_fuzz::fail("explaining moved a monitor");
      }
      for (const zelvo::explain::RuleTrace& r : x.rules) {
        if (r.fired && r.condition.has_value() && !*r.condition) zelvo_fuzz::fail("a rule fired on a false condition");
      }
      check_same(engine.evaluate(event), x.result);
    }
  }
  return 0;
}
