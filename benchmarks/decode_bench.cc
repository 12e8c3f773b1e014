// Decoding speed of a large compiled policy (thousands of rules with nested
// expressions, about 10 MB of JSON).
//
// The text is generated here, or read from the file named by the
// environment variable ZELVO_BENCH_POLICY (decode_vs_json.py uses this to
// time the decoder and Python's json.loads on the same bytes).
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "container/container.h"
#include "model/json_decoder.h"

namespace {

std::string rule_json(int i) {
  const std::string n = std::to_string(i);
  return R"({"id": )" + n + R"(, "on_events": ["tool_call", "data_access"], "condition": {"Binary": {"op": "And", )"
         R"("left": {"Predicate": {"kind": "Contains", "subject": {"Ref": {"root": "Event", "fields": ["args", "path"]}}, )"
         R"("argument": {"Literal": {"String": "secret_)" + n + R"("}}}}, )"
         R"("right": {"Binary": {"op": "Gt", "left": {"Call": {"function": "len", "args": [{"Ref": {"root": "Event", )"
         R"("fields": ["payload"]}}]}}, "right": {"Literal": {"Int": )" + n + R"(}}}}}}, )"
         R"("verdicts": [{"verdict": "Deny", "message": {"Literal": {"String": "blocked by rule number )" + n +
         R"( of the generated benchmark policy"}}}], )"
         R"("actions": [{"verb": "Log", "args": [["level", {"Literal": {"String": "warn"}}], )"
         R"(["score", {"Literal": {"Float": 0.75}}]]}], "severity": "High"})";
}

std::string generate_policy(int rules) {
  std::string out = R"({"name": "bench", "severity": "High", "scopes": ["agent"], "rules": [)";
  for (int i = 0; i < rules; ++i) {
    if (i != 0) out += ",\n";
    out += rule_json(i);
  }
  out += R"(], "constraints": [], "state_machines": [], )"
         R"("metadata": {"annotations": [["k", "v"]], "source_hash": 0, "compiler_version": "1.0"}})";
  return out;
}

const std::string& policy_text() {
  static const std::string text = [] {
    if (const char* path = std::getenv("ZELVO_BENCH_POLICY")) {
      std::ifstream in(path, std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      return ss.str();
    }
    return generate_policy(14000);
  }();
  return text;
}

void BM_DecodeText(benchmark::State& state) {
  const std::string& text = policy_text();
  for (auto _ : state) {
    auto r = zelvo::parse_policy_json(text);
    if (!r) state.SkipWithError(r.error().message().c_str());
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DecodeText)->Unit(benchmark::kMillisecond);

// The container path: header checks plus UTF-8 checking of every string.
void BM_DecodeContainerBytes(benchmark::State& state) {
  const std::string container = zelvo::make_container(policy_text());
  for (auto _ : state) {
    auto r = zelvo::load_policy_bytes(container);
    if (!r) state.SkipWithError(r.error().message().c_str());
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * container.size()));
}
BENCHMARK(BM_DecodeContainerBytes)->Unit(benchmark::kMillisecond);

}  // namespace
