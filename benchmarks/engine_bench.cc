// Engine throughput: ns per event for a realistic in-memory policy, and the
// cost of a constraint window holding 1,000 versus 1,000,000 entries.
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/engine.h"

namespace zelvo {
namespace {

IRExpr lit_str(std::string_view s) { return IRExpr::Literal{LiteralValue::String{Str(s)}}; }
IRExpr lit_int(std::int64_t i) { return IRExpr::Literal{LiteralValue::Int{i}}; }
IRExpr field(std::string_view name) { return IRExpr::Ref{RefPath{RefRoot{}, {Str(name)}}}; }
IRExpr context(std::string_view name) { return IRExpr::Ref{RefPath{RefRoot{RefRoot::Kind::Context, 0}, {Str(name)}}}; }
IRExpr bin(BinaryOp op, IRExpr l, IRExpr r) { return IRExpr::Binary{op, std::move(l), std::move(r)}; }
IRExpr starts_with(IRExpr s, std::string_view prefix) {
  return IRExpr::Predicate{PredicateKind::StartsWith, std::move(s), lit_str(prefix)};
}

CompiledRule make_rule(std::uint32_t id, std::string_view on, IRExpr condition, Verdict v, bool with_action) {
  CompiledRule r;
  r.id = id;
  if (!on.empty()) r.on_events.emplace_back(on);
  r.condition = std::move(condition);
  r.verdicts.push_back(IRVerdict{v, Box<IRExpr>(lit_str("rule " + std::to_string(id) + " matched"))});
  if (with_action) {
    IRAction a;
    a.verb = ActionVerb::Log;
    a.args.emplace_back(Str("tool"), Box<IRExpr>(field("tool")));
    r.actions.push_back(std::move(a));
  }
  return r;
}

// Twenty rules over four event types (five per type, two of them for every
// type), a rate limit on tool calls and one two-state monitor.
CompiledPolicy realistic_policy() {
  CompiledPolicy p;
  p.name = Str("agent guard rails");
  const char* types[] = {"tool_call", "data_access", "message", "file_write"};
  std::uint32_t id = 0;
  for (const char* type : types) {
    p.rules.push_back(make_rule(++id, type, bin(BinaryOp::Eq, field("tool"), lit_str("shell")), Verdict::Deny, true));
    p.rules.push_back(make_rule(++id, type, bin(BinaryOp::Gt, field("size"), lit_int(1'000'000)), Verdict::Audit, false));
    p.rules.push_back(make_rule(++id, type, starts_with(field("path"), "/etc/"), Verdict::Deny, true));
    p.rules.push_back(make_rule(
        ++id, type,
        bin(BinaryOp::And, bin(BinaryOp::Eq, field("user"), context("owner")), bin(BinaryOp::Lt, field("size"), lit_int(10))),
        Verdict::Redact, false));
  }
  for (int i = 0; i < 4; ++i) {
    p.rules.push_back(make_rule(++id, "", bin(BinaryOp::Neq, field("user"), lit_str("root")), Verdict::Allow, i == 0));
  }
  p.constraints.push_back(CompiledConstraint{ConstraintKind::RateLimit, Str("tool_call"), 1'000'000, 60'000});
  StateMachine m;
  m.name = Str("no_exfiltration");
  m.invariant_name = Str("secrets stay home");
  m.states = {State{0, Str("clean"), StateKind::Active}, State{1, Str("tainted"), StateKind::Active}};
  m.transitions.push_back(
      Transition{0, 1, TransitionGuard{TransitionGuard::Kind::Predicate,
                                       Box<IRExpr>(bin(BinaryOp::Eq, field("tool"), lit_str("read_secret")))}});
  p.state_machines.push_back(std::move(m));
  return p;
}

Event make_event(std::string_view type, std::string_view tool, std::int64_t size, std::string_view path) {
  Event e;
  e.event_type = Str(type);
  e.fields.insert_or_assign(Str("tool"), Value::string(Str(tool)));
  e.fields.insert_or_assign(Str("size"), Value::integer(size));
  e.fields.insert_or_assign(Str("path"), Value::string(Str(path)));
  e.fields.insert_or_assign(Str("user"), Value::string(Str("alice")));
  return e;
}

void BM_RealisticPolicy(benchmark::State& state) {
  PolicyEngine engine(realistic_policy());
  engine.set_context(Str("owner"), Value::string(Str("bob")));
  std::vector<Event> events = {make_event("tool_call", "http_get", 512, "/home/alice/notes.txt"),
                               make_event("data_access", "sql", 2'000'000, "/var/db/customers"),
                               make_event("message", "chat", 120, "/tmp/out"),
                               make_event("file_write", "editor", 4096, "/etc/passwd")};
  std::uint64_t ts = 1'700'000'000'000;
  std::size_t i = 0;
  for (auto _ : state) {
    Event& e = events[i++ & 3];
    e.timestamp = ++ts;
    benchmark::DoNotOptimize(engine.evaluate(e));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RealisticPolicy);

// One constrained type, one event per millisecond, a window of `entries`
// milliseconds: in steady state every event drops one entry and adds one,
// with `entries` entries inside the window.
void BM_WindowEntries(benchmark::State& state) {
  const auto entries = static_cast<std::uint64_t>(state.range(0));
  CompiledPolicy p;
  p.constraints.push_back(CompiledConstraint{ConstraintKind::RateLimit, Str("T"), ~0ull, entries - 1});
  PolicyEngine engine(std::move(p));
  Event e;
  e.event_type = Str("T");
  std::uint64_t ts = 1'000'000;
  for (std::uint64_t i = 0; i < entries; ++i) {
    e.timestamp = ++ts;
    engine.evaluate(e);
  }
  for (auto _ : state) {
    e.timestamp = ++ts;
    benchmark::DoNotOptimize(engine.evaluate(e));
  }
  state.counters["in_window"] = static_cast<double>(engine.window("T")->size());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WindowEntries)->Arg(1'000)->Arg(1'000'000);

}  // namespace
}  // namespace zelvo
