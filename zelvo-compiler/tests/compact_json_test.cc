// CompactJson against json::Writer in the compact layout: the same random
// sequence of value calls (nested objects and arrays, keys given as
// literals and as views, strings that need escapes, numbers, booleans,
// nulls) gives the same bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "emit/compact_json.h"
#include "json/writer.h"

namespace zelvo::lang {
namespace {

constexpr auto kFloats = json::FloatStyle::Shortest;

template <typename Out>
void value(Out& out, std::mt19937& rng, int depth) {
  static const std::string kTexts[] = {"", "plain", "quote \" and \\", "line\nfeed\ttab", "\x01\x1f", "\xC3\xA9t\xC3\xA9"};
  switch (depth > 4 ? rng() % 6 : rng() % 8) {
    case 0: out.string(kTexts[rng() % std::size(kTexts)]); break;
    case 1: out.integer(static_cast<std::int64_t>(rng()) - (1LL << 31)); break;
    case 2: out.unsigned_integer(rng()); break;
    case 3: out.floating(static_cast<double>(rng()) / 7.0); break;
    case 4: out.boolean(rng() % 2 == 0); break;
    case 5: out.null(); break;
    case 6:
      out.begin_array();
      for (std::size_t n = rng() % 4; n > 0; --n) value(out, rng, depth + 1);
      out.end_array();
      break;
    default:
      out.begin_object();
      for (std::size_t n = rng() % 4; n > 0; --n) {
        if (rng() % 2 == 0) {
          out.key("literal_key");
        } else {
          out.key(std::string_view("view"));
        }
        value(out, rng, depth + 1);
      }
      out.end_object();
      break;
  }
}

TEST(CompactJson, WritesWhatTheWriterWritesCompact) {
  for (std::uint32_t seed = 0; seed < 500; ++seed) {
    std::mt19937 a(seed);
    std::mt19937 b(seed);
    CompactJson compact(kFloats);
    json::Writer writer({.layout = json::Layout::Compact, .floats = kFloats});
    value(compact, a, 0);
    value(writer, b, 0);
    ASSERT_EQ(std::move(compact).take(), std::move(writer).take()) << "seed " << seed;
  }
}

}  // namespace
}  // namespace zelvo::lang
