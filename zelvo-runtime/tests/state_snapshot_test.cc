// Saved engine state: a restored engine gives the verdicts the original
// would have given; bytes of another policy, or damaged, change nothing.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/state_snapshot.h"
#include "engine_builders.h"

namespace zelvo::test {
namespace {

constexpr std::uint64_t T = 1'000'000;
constexpr std::uint64_t kId = 42;

const IRExpr flag = event_ref({"flag"});

// A limit of 3 "a" per 100 ms, a quota of 5 "b" per 1000 ms, and a
// machine that moves 0 -> 1 on a flagged event, then 1 -> 2 (violating)
// on any event, with a 500 ms deadline out of 0 into 3.
CompiledPolicy sample_policy() {
  const StateMachine m = machine({kActive, kActive, kViolated, kSatisfied},
                                 {transition(0, 3, timeout()), transition(0, 1, when(flag)), transition(1, 2, always())},
                                 {2}, {3}, 500);
  return policy({}, {constraint(ConstraintKind::RateLimit, "a", 3, 100), constraint(ConstraintKind::Quota, "b", 5, 1000)},
                {m});
}

Event random_event(std::mt19937_64& rng, std::uint64_t& ts) {
  ts += rng() % 60;
  const char* types[] = {"a", "b", "c"};
  return make_event(types[rng() % 3], {{"flag", Value::boolean(rng() % 17 == 0)}}, ts);
}

TEST(StateSnapshot, RestoredEngineContinuesAsTheOriginal) {
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(seed);
    std::uint64_t ts = T;
    ManualClock clock(T);
    PolicyEngine original(sample_policy(), clock);
    const std::size_t prefix = rng() % 60;
    for (std::size_t i = 0; i < prefix; ++i) original.evaluate(random_event(rng, ts));
    const std::string saved = save_state(original, kId);

    ManualClock later(T + 77'777);  // a replica built at another time
    PolicyEngine copy(sample_policy(), later);
    ASSERT_EQ(restore_state(copy, saved, kId), "") << "seed " << seed;
    EXPECT_EQ(save_state(copy, kId), saved);
    EXPECT_EQ(copy.event_count(), original.event_count());
    for (int i = 0; i < 60; ++i) {
      const Event e = random_event(rng, ts);
      expect_same_result(original.evaluate(e), copy.evaluate(e), "seed " + std::to_string(seed));
    }
  }
}

TEST(StateSnapshot, RefusesOtherPoliciesAndDamagedBytesWithoutChange) {
  ManualClock clock(T);
  PolicyEngine source(sample_policy(), clock);
  std::uint64_t ts = T;
  std::mt19937_64 rng(7);
  for (int i = 0; i < 30; ++i) source.evaluate(random_event(rng, ts));
  const std::string saved = save_state(source, kId);

  PolicyEngine target(sample_policy(), clock);
  target.evaluate(make_event("a", {}, T));
  const std::string before = save_state(target, kId);

  EXPECT_EQ(restore_state(target, saved, kId + 1), "saved engine state belongs to another policy");
  PolicyEngine other(policy({}, {constraint(ConstraintKind::RateLimit, "a", 3, 100)}), clock);
  EXPECT_EQ(restore_state(other, save_state(other, kId), kId), "");
  EXPECT_NE(restore_state(other, saved, kId), "");  // same id, other shape

  for (std::size_t cut = 0; cut < saved.size(); ++cut) {
    EXPECT_NE(restore_state(target, saved.substr(0, cut), kId), "") << "cut at " << cut;
  }
  for (std::size_t i = 0; i < saved.size(); ++i) {
    std::string damaged = saved;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x10);
    EXPECT_NE(restore_state(target, damaged, kId), "") << "byte " << i;
  }
  EXPECT_EQ(save_state(target, kId), before);
}

TEST(StateSnapshot, LiveStateIsWindowsInTimeAndMonitorsMoved) {
  ManualClock clock(T);
  PolicyEngine engine(sample_policy(), clock);
  EXPECT_FALSE(holds_live_state(engine, T));
  engine.evaluate(make_event("b", {}, T));
  EXPECT_TRUE(holds_live_state(engine, T + 1000));   // the entry at T still counts at T + 1000
  EXPECT_FALSE(holds_live_state(engine, T + 1001));  // aged out
  engine.evaluate(make_event("c", {{"flag", Value::boolean(true)}}, T + 2000));
  EXPECT_TRUE(holds_live_state(engine, T + 1'000'000));  // the monitor left its initial state
}

}  // namespace
}  // namespace zelvo::test
