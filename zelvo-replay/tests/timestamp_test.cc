#include "replay/timestamp.h"

#include <gtest/gtest.h>

namespace zelvo::replay {
namespace {

struct TimeCase {
  const char* text;
  std::optional<std::uint64_t> ms;
};

class Rfc3339 : public ::testing::TestWithParam<TimeCase> {};

TEST_P(Rfc3339, ReadsMillisecondsSince1970) {
  EXPECT_EQ(parse_rfc3339_ms(GetParam().text), GetParam().ms) << GetParam().text;
}

constexpr std::nullopt_t kBad = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, Rfc3339,
    ::testing::Values(TimeCase{"1970-01-01T00:00:00Z", 0}, TimeCase{"1970-01-01T00:00:00.001Z", 1},
                      TimeCase{"2024-05-01T12:00:00Z", 1714564800000}, TimeCase{"2024-05-01t12:00:00z", 1714564800000},
                      TimeCase{"2024-05-01 12:00:00Z", 1714564800000},
                      TimeCase{"2024-05-01T12:00:00.5Z", 1714564800500},
                      TimeCase{"2024-05-01T12:00:00.123987654Z", 1714564800123},
                      TimeCase{"2024-05-01T14:30:00+02:30", 1714564800000},
                      TimeCase{"2024-05-01T07:00:00-05:00", 1714564800000},
                      TimeCase{"2024-02-29T00:00:00Z", 1709164800000}, TimeCase{"2000-02-29T00:00:00Z", 951782400000},
                      TimeCase{"2016-12-31T23:59:60Z", 1483228800000},  // leap second: the next minute's start
                      TimeCase{"9999-12-31T23:59:59.999Z", 253402300799999},
                      TimeCase{"1970-01-01T00:30:00+01:00", kBad},  // before 1970 once the offset is applied
                      TimeCase{"1969-12-31T23:59:59Z", kBad}, TimeCase{"2023-02-29T00:00:00Z", kBad},
                      TimeCase{"1900-02-29T00:00:00Z", kBad}, TimeCase{"2024-04-31T00:00:00Z", kBad},
                      TimeCase{"2024-13-01T00:00:00Z", kBad}, TimeCase{"2024-00-01T00:00:00Z", kBad},
                      TimeCase{"2024-05-01T24:00:00Z", kBad}, TimeCase{"2024-05-01T12:60:00Z", kBad},
                      TimeCase{"2024-05-01T12:00:61Z", kBad}, TimeCase{"2024-05-01T12:00:00", kBad},
                      TimeCase{"2024-05-01T12:00:00.Z", kBad}, TimeCase{"2024-05-01T12:00Z", kBad},
                      TimeCase{"2024-05-01", kBad}, TimeCase{"2024-05-01T12:00:00+0200", kBad},
                      TimeCase{"2024-05-01T12:00:00+24:00", kBad}, TimeCase{"2024-05-01T12:00:00Z ", kBad},
                      TimeCase{"+2024-05-01T12:00:00Z", kBad}, TimeCase{"", kBad}));

}  // namespace
}  // namespace zelvo::replay
