// The grammar and the printer agree: every policy in the repository's
// JSON files and every construct of the language survive print-then-compile
// record for record, and printing is stable.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "compiler.h"
#include "emit/printer.h"
#include "model/json_decoder.h"
#include "model_dump.h"
#include "test_support.h"

namespace zelvo::lang {
namespace {

using testing::brief;
using testing::dump;

std::string read(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void expect_round_trip(const CompiledPolicy& policy, const std::string& what) {
  const std::string printed = print_source(policy);
  const CompileResult again = compile(printed, "printed.zelvo");
  ASSERT_TRUE(again.policy) << what << "\n" << brief(again.diagnostics) << "\n" << printed;
  EXPECT_EQ(dump(*again.policy), dump(policy)) << what << "\n" << printed;
  EXPECT_EQ(print_source(*again.policy), printed) << what;
}

TEST(RoundTrip, EveryJsonPolicyOfTheRepository) {
  const std::filesystem::path root = ZELVO_REPO_DIR;
  int seen = 0;
  for (const char* dir : {"examples", "fuzz/corpus/decoder_fuzz", "zelvo-runtime/tests/data"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / dir)) {
      if (entry.path().extension() != ".json") continue;
      const auto decoded = parse_policy_json_bytes(read(entry.path()));
      if (!decoded) continue;  // the corpus holds broken inputs on purpose
      ++seen;
      expect_round_trip(decoded.value(), entry.path().string());
    }
  }
  EXPECT_GE(seen, 5);
}

TEST(RoundTrip, EverySourceOfTheRepository) {
  const std::filesystem::path root = ZELVO_REPO_DIR;
  for (const char* dir : {"examples", "fuzz/corpus/compiler_fuzz"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root / dir)) {
      if (entry.path().extension() != ".zelvo") continue;
      const CompileResult r = compile(read(entry.path()), entry.path().string());
      if (!r.policy) continue;
      expect_round_trip(*r.policy, entry.path().string());
    }
  }
}

class RoundTripExpr : public ::testing::TestWithParam<const char*> {};

TEST_P(RoundTripExpr, SurvivesPrintAndCompile) {
  const std::string src = std::string(testing::kHeader) + "rule 1 { when " + GetParam() + " }";
  const CompileResult r = compile(src, "t.zelvo");
  ASSERT_TRUE(r.policy) << brief(r.diagnostics);
  expect_round_trip(*r.policy, GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Tricky, RoundTripExpr,
    ::testing::Values("-(5)", "--5", "-5.len()", "-(5.len())", "-(5m)", "-event.a - -1", "1 - (2 - 3)",
                      "event.a or event.b or (event.c or event.d)", "(event.a implies event.b) implies event.c",
                      "not (event.a and event.b)", "(not event.a).len()", "(event.a == 1) == (event.b < 2)",
                      "event[\"x-y\"][\"\"].z", "event._.a", "event.match.in", "local(7).a",
                      "event.xs.count(_, local(0) > 1)", "event.xs.count(\"p q\")", "event.xs.all(\"event\", local(0))",
                      "event.xs.any(x, x.name == x[\"a b\"])", "event.xs.all(x, local(0).a)",
                      "event.s.`contains`(1)", "event.m.`get`()", "`min`(1)", "`frob`()", "event.xs.first().name",
                      "[].`len`(1, 2)", "decide { deny }", "decide { allow event.a + \"x\" }",
                      "match event.t { case -2 => (match event.u { }) case is \"a b\" => deny else => 1.5e300 }",
                      "1e21 + 0.1 + -0.0 + 5e-324", "\"\\u{0}\\u{7f}\\n\\t\\\"`\"", "verbatim\"^\\\\d\"", "pattern\".*\"",
                      "wrapping(18446744073709551615d)", "213503982334d", "-wrapping(5d)"));

}  // namespace
}  // namespace zelvo::lang
