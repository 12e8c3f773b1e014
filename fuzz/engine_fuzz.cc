// Fuzz target: the whole engine.
//
// Input layout: the policy's JSON text, a NUL byte, then the bytes that
// drive a short session against the engine built from it: evaluations of
// events built from the bytes (types and field names drawn mostly from the
// strings of the policy itself, so that rules select and references
// resolve), context and configuration stores, status, reset. Timestamps
// move forwards, backwards and to the ends of the u64 range.
//
// Checked on every step: event_count is exact, the status text reports it,
// and a result's evidence is consistent with its verdict.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "engine/clock.h"
#include "engine/engine.h"
#include "event/event.h"
#include "event/value.h"
#include "fuzz_util.h"
#include "model/json_decoder.h"

namespace {

using zelvo::Value;

constexpr int kMaxDepth = 5;
constexpr int kMaxOps = 48;

// Words for event types, field names and string values: the strings of the
// policy text (a cheap scan; escapes are taken verbatim) plus a few fixed ones.
std::vector<std::string> vocabulary(std::string_view policy) {
  std::vector<std::string> words = {"", "type", "timestamp", "tool", "x", "tool_call", "data_access"};
  for (std::size_t i = 0; i < policy.size() && words.size() < 96; ++i) {
    if (policy[i] != '"') continue;
    const std::size_t end = policy.find('"', i + 1);
    if (end == std::string_view::npos) break;
    const std::string_view word = policy.substr(i + 1, end - i - 1);
    if (word.size() <= 64 && zelvo_fuzz::valid_utf8(word)) words.emplace_back(word);
    i = end;
  }
  return words;
}

class Session {
 public:
  Session(FuzzedDataProvider& in, std::vector<std::string> words) : in_(in), words_(std::move(words)) {}

  std::string text() {
    if (in_.ConsumeBool()) return words_[in_.ConsumeIntegralInRange<std::size_t>(0, words_.size() - 1)];
    std::string out;
    const std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(0, 12);
    for (std::size_t i = 0; i < n; ++i) {
      const bool wide = in_.ConsumeIntegralInRange<int>(0, 7) == 0;
      zelvo_fuzz::append_utf8(out, wide ? in_.ConsumeIntegralInRange<char32_t>(0x80, 0x10FFFF)
                                        : in_.ConsumeIntegralInRange<char32_t>(0, 0x7F));
    }
    return out;
  }

  double number() {
    switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return in_.ConsumeBool() ? std::numeric_limits<double>::infinity()
                                       : -std::numeric_limits<double>::infinity();
      case 2: return -0.0;
      case 3: return static_cast<double>(in_.ConsumeIntegral<std::int64_t>());
      default: return in_.ConsumeFloatingPoint<double>();
    }
  }

  Value value(int depth) {
    switch (in_.ConsumeIntegralInRange<int>(0, depth < kMaxDepth ? 8 : 6)) {
      case 0: return Value();
      case 1: return Value::boolean(in_.ConsumeBool());
      case 2: return Value::integer(in_.ConsumeIntegral<std::int64_t>());
      case 3: return Value::integer(in_.ConsumeIntegralInRange<std::int64_t>(-3, 3));
      case 4: return Value::floating(number());
      case 5: return Value::string(zelvo::Str(text()));
      case 6: return Value::duration(in_.ConsumeIntegral<std::uint64_t>());
      case 7: {
        zelvo::ValueList items;
        const std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(0, 5);
        for (std::size_t i = 0; i < n; ++i) items.push_back(value(depth + 1));
        return Value::list(std::move(items));
      }
      default: return Value::map(map(depth + 1));
    }
  }

  zelvo::ValueMap map(int depth) {
    zelvo::ValueMap entries;
    const std::size_t n = in_.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t i = 0; i < n; ++i) entries.insert_or_assign(zelvo::Str(text()), value(depth));
    return entries;
  }

  std::uint64_t timestamp() {
    switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: now_ = in_.ConsumeIntegral<std::uint64_t>(); break;  // anywhere, backwards included
      case 1: now_ = std::numeric_limits<std::uint64_t>::max() - in_.ConsumeIntegralInRange<std::uint64_t>(0, 3); break;
      case 2: now_ = in_.ConsumeIntegralInRange<std::uint64_t>(0, 3); break;
      default: now_ += in_.ConsumeIntegralInRange<std::uint64_t>(0, 5000); break;
    }
    return now_;
  }

  FuzzedDataProvider& in_;
  std::vector<std::string> words_;
  std::uint64_t now_ = 1'700'000'000'000;
};

void check_result(const zelvo::EvalResult& result, const zelvo::CompiledPolicy& policy) {
  if (result.constraint_violations.size() > 1) zelvo_fuzz::fail("more than one constraint violation");
  if (result.violations.size() > policy.state_machines.size()) zelvo_fuzz::fail("more violations than monitors");
  if (result.triggered_rules.size() > policy.rules.size()) zelvo_fuzz::fail("more fired rules than rules");
  // A monitor resting in a violating state reports again without denying,
  // so only a constraint violation implies Deny.
  if (!result.constraint_violations.empty() && result.verdict != zelvo::Verdict::Deny) {
    zelvo_fuzz::fail("a constraint violation without a Deny verdict");
  }
  for (const zelvo::Violation& v : result.violations) {
    if (v.message.rfind("Invariant `", 0) != 0) zelvo_fuzz::fail("malformed violation message:", v.message);
  }
  if (!result.constraint_violations.empty() && !result.reason) zelvo_fuzz::fail("a constraint violation without reason");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(text, '\0', size);
  const std::size_t policy_size = nul != nullptr ? static_cast<const char*>(nul) - text : size;
  const std::string_view policy_text(text, policy_size);
  auto parsed = zelvo::parse_policy_json_bytes(policy_text);
  if (!parsed) return 0;

  const std::size_t rest = policy_size < size ? policy_size + 1 : size;
  FuzzedDataProvider in(data + rest, size - rest);
  Session session(in, vocabulary(policy_text));
  zelvo::ManualClock clock(in.ConsumeIntegral<std::uint64_t>());
  const zelvo::CompiledPolicy policy = parsed.value();
  zelvo::PolicyEngine engine(std::move(parsed).value(), clock);

  std::uint64_t expected_count = 0;
  for (int op = 0; op < kMaxOps && in.remaining_bytes() > 0; ++op) {
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: {
        zelvo::Event event;
        event.event_type = zelvo::Str(session.text());
        event.fields = session.map(1);
        event.timestamp = session.timestamp();
        const zelvo::EvalResult result = engine.evaluate(event);
        ++expected_count;
        check_result(result, policy);
        break;
      }
      case 5: engine.set_context(zelvo::Str(session.text()), session.value(1)); break;
      case 6: engine.set_config(zelvo::Str(session.text()), session.value(1)); break;
      case 7: {
        const std::string status = engine.status();
        const std::string tail = "Events processed: " + std::to_string(expected_count) + "\n";
        if (status.size() < tail.size() || status.compare(status.size() - tail.size(), tail.size(), tail) != 0) {
          zelvo_fuzz::fail("status does not end with the event count:", status);
        }
        break;
      }
      case 8:
        clock.set(session.timestamp());
        engine.reset();
        expected_count = 0;
        break;
      default: {
        const zelvo::EngineStatus figures = engine.gather_status();
        if (figures.rule_count != policy.rules.size() || figures.machine_count != policy.state_machines.size()) {
          zelvo_fuzz::fail("status figures disagree with the policy");
        }
        break;
      }
    }
    if (engine.event_count() != expected_count) zelvo_fuzz::fail("event_count is not exact");
  }
  return 0;
}
