// Evaluator: cost per element of a quantifier and a count over a
// 1,000-element list field of the event. The "per_element" counter is the
// time of one element (body or filter evaluation included), in seconds
// (e.g. "5n" is 5 ns).
#include <cstdint>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>

#include "eval/eval.h"

namespace zelvo {
namespace {

constexpr std::int64_t kElements = 1000;

IRExpr lit_int(std::int64_t i) { return IRExpr::Literal{LiteralValue::Int{i}}; }
IRExpr lit_str(std::string_view s) { return IRExpr::Literal{LiteralValue::String{Str(s)}}; }
IRExpr field(std::string_view name) { return IRExpr::Ref{RefPath{RefRoot{}, {Str(name)}}}; }
IRExpr element() { return IRExpr::Ref{RefPath{RefRoot{RefRoot::Kind::Local, 0}, {}}}; }
IRExpr gt(IRExpr l, IRExpr r) { return IRExpr::Binary{BinaryOp::Gt, std::move(l), std::move(r)}; }

// Fields "ints" (0..999) and "names" ("tool_0", "file_1", ...).
Event list_event() {
  ValueList ints, names;
  for (std::int64_t i = 0; i < kElements; ++i) {
    ints.push_back(Value::integer(i));
    names.push_back(Value::string(Str((i % 2 == 0 ? "tool_" : "file_") + std::to_string(i))));
  }
  Event e;
  e.event_type = Str("tool_call");
  e.fields.insert_or_assign(Str("ints"), Value::list(std::move(ints)));
  e.fields.insert_or_assign(Str("names"), Value::list(std::move(names)));
  return e;
}

void run(benchmark::State& state, const IRExpr& expr) {
  const Event event = list_event();
  const ValueMap context, config;
  const EvalContext ctx{event, context, config};
  for (auto _ : state) benchmark::DoNotOptimize(eval_expr(expr, ctx));
  state.counters["per_element"] =
      benchmark::Counter(static_cast<double>(kElements), benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
}

// All elements are visited: no element is greater than the bound.
void BM_AnyIntComparison(benchmark::State& state) {
  const IRExpr e = IRExpr::Quantifier{QuantifierKind::Any, field("ints"), Str("x"), gt(element(), lit_int(kElements))};
  run(state, e);
}

void BM_CountIntComparison(benchmark::State& state) {
  const IRExpr e = IRExpr::Count{field("ints"), Str("x"), Box<IRExpr>(gt(element(), lit_int(kElements / 2)))};
  run(state, e);
}

void BM_CountStartsWith(benchmark::State& state) {
  const IRExpr e = IRExpr::Count{field("names"), Str("x"),
                                 Box<IRExpr>(IRExpr::Predicate{PredicateKind::StartsWith, element(), lit_str("tool_")})};
  run(state, e);
}

void BM_CountNoFilter(benchmark::State& state) {
  const IRExpr e = IRExpr::Count{field("ints"), std::nullopt, std::nullopt};
  run(state, e);
}

BENCHMARK(BM_AnyIntComparison);
BENCHMARK(BM_CountIntComparison);
BENCHMARK(BM_CountStartsWith);
BENCHMARK(BM_CountNoFilter);

}  // namespace
}  // namespace zelvo
