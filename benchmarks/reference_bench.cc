// Core-level cost of the suite's workloads: the reference agent-guard
// policy, the empty policy and the rule-count series, decoded from the JSON
// files that run_all.sh writes (workload.py) into the directory named by the
// environment variable ZELVO_BENCH_DIR. Events are built here with the same
// shape as the Python stream: six fields, a nested map and a list.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/engine.h"
#include "model/json_decoder.h"

namespace zelvo {
namespace {

bool load_policy(const std::string& file, CompiledPolicy& out, std::string& error) {
  const char* dir = std::getenv("ZELVO_BENCH_DIR");
  if (dir == nullptr) {
    error = "set ZELVO_BENCH_DIR to the directory of the suite's policies (benchmarks/run_all.sh does)";
    return false;
  }
  std::ifstream in(std::string(dir) + "/" + file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  auto policy = parse_policy_json(text.str());
  if (!policy) {
    error = file + ": " + policy.error().message();
    return false;
  }
  out = std::move(policy).value();
  return true;
}

Value strings(std::initializer_list<const char*> items) {
  ValueList list;
  for (const char* item : items) list.push_back(Value::string(Str(item)));
  return Value::list(std::move(list));
}

Value args(std::initializer_list<std::pair<const char*, const char*>> entries) {
  ValueMap map;
  for (const auto& [k, v] : entries) map.insert_or_assign(Str(k), Value::string(Str(v)));
  return Value::map(std::move(map));
}

Event make_event(const char* type, const char* tool, const char* user, std::int64_t size, Value arg_map, Value tags) {
  Event e;
  e.event_type = Str(type);
  e.fields.insert_or_assign(Str("tool"), Value::string(Str(tool)));
  e.fields.insert_or_assign(Str("user"), Value::string(Str(user)));
  e.fields.insert_or_assign(Str("session"), Value::string(Str("sess-7f3a9c")));
  e.fields.insert_or_assign(Str("size"), Value::integer(size));
  e.fields.insert_or_assign(Str("args"), std::move(arg_map));
  e.fields.insert_or_assign(Str("tags"), std::move(tags));
  return e;
}

std::vector<Event> reference_events() {
  std::vector<Event> events;
  events.push_back(make_event("tool_call", "http_request", "bob", 512,
                              args({{"url", "https://api.example.com/v1/search?q=weather"}, {"command", ""}}),
                              strings({"ops", "untrusted"})));
  events.push_back(make_event("data_access", "read_file", "carol", 48'000,
                              args({{"table", "customers"}, {"path", "/exports/q3.parquet"}}),
                              strings({"pii", "finance"})));
  events.push_back(make_event("message", "send_email", "alice", 64,
                              args({{"channel", "team"}, {"recipient", "ops@example.com"},
                                    {"text", "Build 1432 passed; deploying to staging at 14:00."}}),
                              strings({"internal"})));
  events.push_back(make_event("file_write", "shell", "dave", 4096,
                              args({{"path", "/workspace/out/report.md"}, {"mode", "w"}}), strings({"ops"})));
  return events;
}

void set_reference_stores(PolicyEngine& engine) {
  engine.set_context(Str("owner"), Value::string(Str("alice")));
  engine.set_config(Str("max_rows"), Value::integer(50'000));
  engine.set_config(Str("blocked_users"), strings({"mallory"}));
}

// Notes where the event's read fields are, as the Python binding does while
// converting them.
void locate(const PolicyEngine& engine, Event& e, std::vector<std::uint32_t>& positions) {
  positions.resize(engine.field_use().count());
  engine.field_use().locate(e.fields, positions);
  e.field_positions = positions;
}

void run_stream(benchmark::State& state, const char* file) {
  CompiledPolicy policy;
  std::string error;
  if (!load_policy(file, policy, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  PolicyEngine engine(std::move(policy));
  set_reference_stores(engine);
  std::vector<Event> events = reference_events();
  std::vector<std::vector<std::uint32_t>> positions(events.size());
  for (std::size_t k = 0; k < events.size(); ++k) locate(engine, events[k], positions[k]);
  std::uint64_t ts = 1'700'000'000'000;
  std::size_t i = 0;
  for (auto _ : state) {
    Event& e = events[i++ & 3];
    e.timestamp = ++ts;
    benchmark::DoNotOptimize(engine.evaluate(e));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EmptyPolicy(benchmark::State& state) { run_stream(state, "empty.json"); }
BENCHMARK(BM_EmptyPolicy);

void BM_ReferencePolicy(benchmark::State& state) { run_stream(state, "reference.json"); }
BENCHMARK(BM_ReferencePolicy);

// The series event: a type that ten rules name, one of which fires.
void BM_RuleCount(benchmark::State& state) {
  CompiledPolicy policy;
  std::string error;
  if (!load_policy("scale-" + std::to_string(state.range(0)) + ".json", policy, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  PolicyEngine engine(std::move(policy));
  Event e = make_event("type_0000", "tool_3", "bob", 4096, args({{"path", "/srv/3/data.bin"}, {"mode", "r"}}),
                       strings({"ops", "internal"}));
  std::vector<std::uint32_t> positions;
  locate(engine, e, positions);
  std::uint64_t ts = 1'700'000'000'000;
  for (auto _ : state) {
    e.timestamp = ++ts;
    benchmark::DoNotOptimize(engine.evaluate(e));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RuleCount)->Arg(10)->Arg(100)->Arg(1'000)->Arg(10'000);

}  // namespace
}  // namespace zelvo
