// Fuzz target: restoring saved engine state (engine/state_snapshot.h).
//
// Input layout: one control byte, then the bytes given to restore_state.
// When the control byte is odd the input's last 8 bytes are replaced by
// the checksum of the rest, so that the fuzzer reaches past the checksum
// into every field's checks.
//
// Checked: a refused input leaves the engine's saved form unchanged; an
// accepted one saves to bytes that restore again to the same saved form,
// and the engine then evaluates events without fault.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/clock.h"
#include "engine/engine.h"
#include "engine/state_snapshot.h"
#include "event/event.h"
#include "fuzz_util.h"
#include "model/policy.h"

namespace {

using namespace zelvo;

constexpr std::uint64_t kId = 0x5eed;

// Two windows and two machines, one with a deadline.
CompiledPolicy make_policy() {
  CompiledPolicy p;
  p.name = Str("state-fuzz");
  p.constraints.push_back({ConstraintKind::RateLimit, Str("a"), 3, 100});
  p.constraints.push_back({ConstraintKind::Quota, Str("b"), 5, 1000});
  for (std::uint32_t id = 0; id < 2; ++id) {
    StateMachine m;
    m.id = id;
    m.name = Str("m");
    m.invariant_name = Str("inv");
    m.states = {State{0, Str("s0"), StateKind::Active}, State{1, Str("s1"), StateKind::Active},
                State{2, Str("s2"), StateKind::Violated}};
    m.transitions = {Transition{0, 1, {TransitionGuard::Kind::Always, std::nullopt}},
                     Transition{1, 2, {TransitionGuard::Kind::Timeout, std::nullopt}}};
    m.violating_states = {2};
    if (id == 1) m.deadline_millis = 50;
    p.state_machines.push_back(std::move(m));
  }
  return p;
}

void put_checksum(std::string& bytes) {
  if (bytes.size() < 8) return;
  std::uint64_t sum = fnv1a64(std::string_view(bytes).substr(0, bytes.size() - 8));
  for (std::size_t i = 0; i < 8; ++i) bytes[bytes.size() - 8 + i] = static_cast<char>((sum >> (8 * i)) & 0xFF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const CompiledPolicy policy = make_policy();
  ManualClock clock(1000);
  PolicyEngine engine(policy, clock);
  engine.evaluate(Event{Str("a"), {}, 1000, {}});
  const std::string before = save_state(engine, kId);

  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0) put_checksum(bytes);
  const std::string refused = restore_state(engine, bytes, kId);
  if (!refused.empty()) {
    if (save_state(engine, kId) != before) zelvo_fuzz::fail("a refused state changed the engine", refused);
    return 0;
  }
  const std::string saved = save_state(engine, kId);
  PolicyEngine again(policy, clock);
  if (!restore_state(again, saved, kId).empty()) zelvo_fuzz::fail("a saved state was refused");
  if (save_state(again, kId) != saved) zelvo_fuzz::fail("save after restore differs");
  for (std::uint64_t ts : {std::uint64_t{0}, std::uint64_t{1050}, UINT64_MAX}) {
    engine.evaluate(Event{Str("a"), {}, ts, {}});
    engine.evaluate(Event{Str("b"), {}, ts, {}});
  }
  return 0;
}
