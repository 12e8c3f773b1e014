// Rate-limit and quota windows: counts, boundaries, reasons, and the sorted
// window structure against the plain list algorithm.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/timestamp_window.h"
#include "engine_builders.h"

namespace zelvo::test {
namespace {

// The reference: an arrival-ordered list, expired entries removed by a
// full pass, as the window's contract describes it.
class LinearWindow {
 public:
  explicit LinearWindow(std::uint64_t window_millis) : window_(window_millis) {}
  std::uint64_t record(std::uint64_t ts) {
    const std::uint64_t cutoff = ts > window_ ? ts - window_ : 0;
    std::erase_if(entries_, [&](std::uint64_t e) { return e < cutoff; });
    entries_.push_back(ts);
    return entries_.size();
  }

 private:
  std::uint64_t window_;
  std::vector<std::uint64_t> entries_;
};

// Counts (and violation flags) for a sequence of timestamps of the target.
std::vector<std::uint64_t> counts(PolicyEngine& engine, const std::vector<std::uint64_t>& times) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t ts : times) {
    const EvalResult r = engine.evaluate(make_event("T", {}, ts));
    out.push_back(r.constraint_violations.empty() ? 0 : r.constraint_violations[0].current);
  }
  return out;
}

class WindowKinds : public ::testing::TestWithParam<ConstraintKind> {};

TEST_P(WindowKinds, LimitTwoInOneSecond) {
  const ConstraintKind kind = GetParam();
  PolicyEngine engine(policy({}, {constraint(kind, "T", 2, 1000)}));
  EXPECT_EQ(counts(engine, {0, 500}), (std::vector<std::uint64_t>{0, 0}));
  for (std::uint64_t ts : {1000ull, 1001ull}) {
    const EvalResult r = engine.evaluate(make_event("T", {}, ts));
    EXPECT_EQ(r.verdict, Verdict::Deny);
    EXPECT_EQ(r.reason, std::string(to_name(kind)) + " exceeded: 3 events in 1000ms window (limit: 2)");
    ASSERT_EQ(r.constraint_violations.size(), 1u);
    const ConstraintViolation& v = r.constraint_violations[0];
    EXPECT_EQ(v.kind, kind);
    EXPECT_EQ(v.target, "T");
    EXPECT_EQ(v.limit, 2u);
    EXPECT_EQ(v.current, 3u);
    EXPECT_EQ(v.window_ms, 1000u);
  }
  EXPECT_EQ(engine.window("T")->size(), 3u);  // 0 dropped at 1001; 500, 1000, 1001 stay
}

INSTANTIATE_TEST_SUITE_P(BothKinds, WindowKinds, ::testing::Values(ConstraintKind::RateLimit, ConstraintKind::Quota),
                         [](const auto& info) { return std::string(to_name(info.param)); });

// Sizes of the window after each timestamp, for a given limit-free window.
struct SizeCase { const char* name; std::uint64_t window_millis; std::vector<std::uint64_t> times, sizes; };

TEST(Window, SizesAfterEachEvent) {
  const std::vector<SizeCase> cases = {
      {"boundary is inclusive", 100, {1000, 1100, 1101}, {1, 2, 2}},
      {"cut-off floors at zero", 5000, {0, 10, 4999}, {1, 2, 3}},
      {"later entries stay", 100, {1000, 500, 900}, {1, 2, 2}},
      {"out of order then expiry", 100, {1000, 950, 990, 1060, 1101}, {1, 2, 3, 3, 2}},
      {"window zero keeps equal and later", 0, {7, 7, 5, 8}, {1, 2, 3, 1}},
      {"duplicates", 10, {3, 3, 3, 14}, {1, 2, 3, 1}},
  };
  for (const SizeCase& c : cases) {
    PolicyEngine engine(policy({}, {constraint(ConstraintKind::RateLimit, "T", ~0ull, c.window_millis)}));
    std::vector<std::uint64_t> sizes;
    for (std::uint64_t ts : c.times) {
      engine.evaluate(make_event("T", {}, ts));
      sizes.push_back(engine.window("T")->size());
    }
    EXPECT_EQ(sizes, c.sizes) << c.name;
  }
}

TEST(Window, LimitZeroDeniesEveryEvent) {
  PolicyEngine engine(policy({}, {constraint(ConstraintKind::Quota, "T", 0, 10)}));
  EXPECT_EQ(counts(engine, {0, 100, 200}), (std::vector<std::uint64_t>{1, 1, 1}));
}

TEST(Window, LaterConstraintOnATargetWins) {
  PolicyEngine engine(policy({}, {constraint(ConstraintKind::Quota, "T", 0, 10),
                                  constraint(ConstraintKind::RateLimit, "T", 1, 50)}));
  EXPECT_EQ(counts(engine, {0, 50, 101}), (std::vector<std::uint64_t>{0, 2, 0}));
  const EvalResult r = engine.evaluate(make_event("T", {}, 120));
  EXPECT_EQ(r.reason, "RateLimit exceeded: 2 events in 50ms window (limit: 1)");
  EXPECT_NE(engine.status().find("Constraints: 1\n"), std::string::npos);
}

TEST(Window, OtherTypesAndResetLeaveNoTrace) {
  PolicyEngine engine(policy({rule(1, {"U"}, std::nullopt)}, {constraint(ConstraintKind::RateLimit, "T", 1, 1000)}));
  engine.evaluate(make_event("T", {}, 0));
  const EvalResult other = engine.evaluate(make_event("U", {}, 1));
  EXPECT_EQ(other.verdict, Verdict::Allow);
  EXPECT_EQ(other.triggered_rules, (std::vector<std::uint32_t>{1}));
  EXPECT_TRUE(engine.evaluate(make_event("t", {}, 2)).constraint_violations.empty());
  EXPECT_EQ(engine.window("T")->size(), 1u);
  EXPECT_EQ(engine.window("U"), nullptr);
  engine.reset();
  EXPECT_EQ(counts(engine, {3, 4}), (std::vector<std::uint64_t>{0, 2}));
}

// The sorted ring against the list algorithm, on mostly increasing
// timestamps with out-of-order jitter and occasional large jumps either way
// (the ring wraps, grows and drains many times).
TEST(Window, SortedRingMatchesTheListAlgorithm) {
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 60; ++round) {
    const std::uint64_t window_millis = std::uniform_int_distribution<std::uint64_t>(0, 400)(rng);
    const int jitter = std::uniform_int_distribution<int>(0, 3)(rng) * 40;
    TimestampWindow ring;
    LinearWindow reference(window_millis);
    std::uint64_t clock = std::uniform_int_distribution<std::uint64_t>(0, 300)(rng);
    for (int i = 0; i < 3000; ++i) {
      clock += std::uniform_int_distribution<std::uint64_t>(0, 6)(rng);
      if (rng() % 500 == 0) clock = rng() % 2 ? clock + 5000 : clock / 2;
      const std::uint64_t back = jitter ? std::uniform_int_distribution<std::uint64_t>(0, jitter)(rng) : 0;
      const std::uint64_t ts = clock > back ? clock - back : 0;
      ring.drop_below(ts > window_millis ? ts - window_millis : 0);
      ring.insert(ts);
      ASSERT_EQ(ring.size(), reference.record(ts)) << "round " << round << " event " << i << " ts " << ts;
      if (i % 97 == 0) {
        for (std::size_t k = 1; k < ring.size(); ++k) ASSERT_LE(ring.at(k - 1), ring.at(k));
      }
    }
  }
}

}  // namespace
}  // namespace zelvo::test
