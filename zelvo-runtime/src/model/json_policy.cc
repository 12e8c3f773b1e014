// Policy-level records: CompiledPolicy, CompiledRule, IRVerdict, IRAction,
// CompiledConstraint, StateMachine, State, Transition, TransitionGuard and
// PolicyMetadata.
#include "model/json_descriptors.h"
#include "model/json_productions.h"

namespace zelvo::json {
namespace {

// A list of records, each decoded by `decode` into a new element.
template <typename T, typename DecodeFn>
bool read_list(JsonReader& r, std::vector<T>& out, DecodeFn decode) {
  out.clear();
  return read_seq(r, [&] { return decode(r, out.emplace_back()); });
}

bool read_u32_list(JsonReader& r, std::vector<std::uint32_t>& out) {
  out.clear();
  return read_seq(r, [&] { return read_u32(r, out.emplace_back()); });
}

bool decode_action(JsonReader& r, IRAction& out) {
  return read_record(r, kActionRecord, [&](int field) {
    if (field == 0) return read_plain_enum(r, names<ActionVerb>(), out.verb);
    out.args.clear();
    return read_seq(r, [&] {
      auto& arg = out.args.emplace_back();
      return read_fixed(r, kPair, 2, false, [&](int i) {
        return i == 0 ? read_str(r, arg.first) : decode_expr(r, *arg.second);
      });
    });
  });
}

bool decode_rule(JsonReader& r, CompiledRule& out) {
  return read_record(r, kRuleRecord, [&](int field) {
    switch (field) {
      case 0: return read_u32(r, out.id);
      case 1: return read_str_list(r, out.on_events);
      case 2: return read_optional(r, [&] { return decode_expr(r, out.condition.emplace()); });
      case 3: return read_list(r, out.verdicts, decode_verdict);
      case 4: return read_list(r, out.actions, decode_action);
      default:
        return read_optional(r, [&] { return read_plain_enum(r, names<Severity>(), out.severity.emplace()); });
    }
  });
}

bool decode_constraint(JsonReader& r, CompiledConstraint& out) {
  return read_record(r, kConstraintRecord, [&](int field) {
    switch (field) {
      case 0: return read_plain_enum(r, names<ConstraintKind>(), out.kind);
      case 1: return read_str(r, out.target);
      case 2: return read_u64(r, out.limit);
      default: return read_u64(r, out.window_millis);
    }
  });
}

bool decode_state(JsonReader& r, State& out) {
  return read_record(r, kStateRecord, [&](int field) {
    switch (field) {
      case 0: return read_u32(r, out.id);
      case 1: return read_str(r, out.label);
      default: return read_plain_enum(r, names<StateKind>(), out.kind);
    }
  });
}

bool decode_guard(JsonReader& r, TransitionGuard& out) {
  VariantHead head;
  if (!begin_variant(r, kGuardVariants, head)) return false;
  out.kind = static_cast<TransitionGuard::Kind>(head.index);
  out.expr.reset();
  bool ok = false;
  switch (out.kind) {
    case TransitionGuard::Kind::Predicate:
    case TransitionGuard::Kind::NegatedPredicate:
      ok = newtype_payload(r, head) && decode_expr(r, *out.expr.emplace());
      break;
    case TransitionGuard::Kind::Timeout:
    case TransitionGuard::Kind::Always: ok = unit_payload(r, head); break;
  }
  return ok && end_variant(r, head);
}

bool decode_transition(JsonReader& r, Transition& out) {
  return read_record(r, kTransitionRecord, [&](int field) {
    switch (field) {
      case 0: return read_u32(r, out.from);
      case 1: return read_u32(r, out.to);
      default: return decode_guard(r, out.guard);
    }
  });
}

bool decode_machine(JsonReader& r, StateMachine& out) {
  return read_record(r, kMachineRecord, [&](int field) {
    switch (field) {
      case 0: return read_u32(r, out.id);
      case 1: return read_str(r, out.name);
      case 2: return read_str(r, out.invariant_name);
      case 3: return read_plain_enum(r, names<TemporalKind>(), out.kind);
      case 4: return read_list(r, out.states, decode_state);
      case 5: return read_list(r, out.transitions, decode_transition);
      case 6: return read_u32(r, out.initial_state);
      case 7: return read_u32_list(r, out.accepting_states);
      case 8: return read_u32_list(r, out.violating_states);
      default: return read_optional(r, [&] { return read_u64(r, out.deadline_millis.emplace()); });
    }
  });
}

bool decode_metadata(JsonReader& r, PolicyMetadata& out) {
  return read_record(r, kMetadataRecord, [&](int field) {
    switch (field) {
      case 0:
        out.annotations.clear();
        return read_seq(r, [&] {
          auto& pair = out.annotations.emplace_back();
          return read_fixed(r, kPair, 2, false,
                            [&](int i) { return read_str(r, i == 0 ? pair.first : pair.second); });
        });
      case 1: return read_u64(r, out.source_hash);
      default: return read_str(r, out.compiler_version);
    }
  });
}

}  // namespace

bool read_str_list(JsonReader& r, std::vector<Str>& out) {
  out.clear();
  return read_seq(r, [&] { return read_str(r, out.emplace_back()); });
}

bool decode_verdict(JsonReader& r, IRVerdict& out) {
  return read_record(r, kVerdictRecord, [&](int field) {
    if (field == 0) return read_plain_enum(r, names<Verdict>(), out.verdict);
    return read_optional(r, [&] { return decode_expr(r, *out.message.emplace()); });
  });
}

bool decode_policy(JsonReader& r, CompiledPolicy& out) {
  return read_record(r, kPolicyRecord, [&](int field) {
    switch (field) {
      case 0: return read_str(r, out.name);
      case 1: return read_plain_enum(r, names<Severity>(), out.severity);
      case 2: return read_str_list(r, out.scopes);
      case 3: return read_list(r, out.rules, decode_rule);
      case 4: return read_list(r, out.constraints, decode_constraint);
      case 5: return read_list(r, out.state_machines, decode_machine);
      default: return decode_metadata(r, out.metadata);
    }
  });
}

}  // namespace zelvo::json
