// Str: inline/heap storage, sharing of long texts, byte-exact comparison.
#include "model/str.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace zelvo {
namespace {

TEST(StrTest, InlineHeapBoundaryKeepsBytes) {
  for (std::size_t n : {0u, 1u, 22u, 23u, 24u, 25u, 1000u}) {
    std::string text(n, 'x');
    if (n > 0) text[n - 1] = 'z';
    Str s(text);
    EXPECT_EQ(s.size(), n) << n;
    EXPECT_EQ(s.view(), text) << n;
    EXPECT_EQ(s.empty(), n == 0) << n;
  }
}

// Short texts are copied with overlapping fixed-size moves: every byte of
// every inline length must land in its place.
TEST(StrTest, EveryInlineLengthKeepsEveryByte) {
  for (std::size_t n = 0; n <= Str::kInlineCapacity; ++n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('a' + i));
    EXPECT_EQ(Str(text).view(), text) << n;
  }
}

TEST(StrTest, OnlyTextsLongerThan23BytesShareABuffer) {
  Str at_limit(std::string(23, 'a'));
  Str at_limit_copy = at_limit;
  EXPECT_FALSE(at_limit.shares_buffer_with(at_limit_copy));

  Str long_text(std::string(24, 'a'));
  Str long_copy = long_text;
  EXPECT_TRUE(long_text.shares_buffer_with(long_copy));
  EXPECT_EQ(long_copy, long_text);

  Str separate(std::string(24, 'a'));
  EXPECT_FALSE(separate.shares_buffer_with(long_text));
  EXPECT_EQ(separate, long_text);
}

TEST(StrTest, SharedBufferOutlivesTheOriginal) {
  std::vector<Str> copies;
  {
    Str original(std::string(100, 'q'));
    for (int i = 0; i < 4; ++i) copies.push_back(original);
  }
  for (const Str& c : copies) EXPECT_EQ(c.view(), std::string(100, 'q'));
}

TEST(StrTest, MoveLeavesSourceEmptyAndKeepsBuffer) {
  for (std::size_t n : {5u, 40u}) {
    Str source(std::string(n, 'm'));
    Str witness = source;
    Str target(std::move(source));
    EXPECT_TRUE(source.empty()) << n;  // NOLINT: moved-from state is specified
    EXPECT_EQ(target.view(), std::string(n, 'm')) << n;
    EXPECT_EQ(target.shares_buffer_with(witness), n > 23) << n;
  }
}

TEST(StrTest, AssignmentAcrossStorageKinds) {
  Str short_text("short");
  Str long_text(std::string(30, 'L'));
  Str a = short_text;
  a = long_text;  // inline -> heap
  EXPECT_TRUE(a.shares_buffer_with(long_text));
  a = short_text;  // heap -> inline, releases its share
  EXPECT_EQ(a, "short");
  a = a;  // NOLINT: self-assignment must be harmless
  EXPECT_EQ(a, "short");
  Str b = long_text;
  b = std::move(a);
  EXPECT_EQ(b, "short");
  EXPECT_EQ(long_text.view(), std::string(30, 'L'));
}

TEST(StrTest, EmbeddedNulBytesCount) {
  Str s(std::string_view("a\0b", 3));
  EXPECT_EQ(s.size(), 3u);
  EXPECT_NE(s, Str("a"));
}

struct OrderCase {
  const char* left;
  const char* right;
  int sign;  // -1 less, 0 equal, 1 greater
};

class StrOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(StrOrderTest, ComparesBytesExactly) {
  const OrderCase& c = GetParam();
  Str l(c.left), r(c.right);
  auto cmp = l <=> r;
  int sign = cmp < 0 ? -1 : (cmp > 0 ? 1 : 0);
  EXPECT_EQ(sign, c.sign) << c.left << " vs " << c.right;
  EXPECT_EQ(l == r, c.sign == 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, StrOrderTest,
                         ::testing::Values(OrderCase{"B", "a", -1}, OrderCase{"ab", "abc", -1},
                                           OrderCase{"abc", "abc", 0}, OrderCase{"A", "a", -1},
                                           OrderCase{"", "a", -1},
                                           // UTF-8 lead bytes order above ASCII (bytes are unsigned).
                                           OrderCase{"\xc3\xa9", "z", 1},
                                           OrderCase{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 1}));

}  // namespace
}  // namespace zelvo

namespace zelvo {
namespace {

// same_text agrees with == for every pair: texts of every length up to past
// the inline limit, and variants differing in one byte at each position.
TEST(StrSameText, AgreesWithEqualityOnNearMisses) {
  std::vector<Str> texts;
  for (std::size_t n = 0; n <= 26; ++n) {
    const std::string base(n, 'k');
    texts.emplace_back(base);
    for (std::size_t at = 0; at < n; ++at) {
      std::string changed = base;
      changed[at] = static_cast<char>(changed[at] ^ 0x20);
      texts.emplace_back(changed);
    }
  }
  const Str shared(std::string(30, 'k'));
  texts.push_back(shared);
  texts.push_back(shared);  // one heap buffer, two Strs
  for (const Str& a : texts) {
    for (const Str& b : texts) {
      ASSERT_EQ(same_text(a, b), a.view() == b.view()) << a.view() << " / " << b.view();
    }
  }
}

TEST(StrSameText, IgnoresBytesLeftBehindByAMove) {
  Str moved("leftover bytes");
  Str target(std::move(moved));
  EXPECT_TRUE(same_text(moved, Str()));  // NOLINT: reading a moved-from Str is defined here
  EXPECT_TRUE(same_text(Str(), moved));
  EXPECT_FALSE(same_text(moved, target));
}

}  // namespace
}  // namespace zelvo

namespace zelvo {
namespace {

// A borrowed Str reads the caller's bytes in place; every copy owns its own.
TEST(StrBorrowed, CopiesOwnTheirBytes) {
  std::string source(40, 'b');
  const Str borrowed = Str::borrowed(source);
  EXPECT_TRUE(borrowed.is_borrowed());
  EXPECT_EQ(borrowed.data(), source.data());
  EXPECT_EQ(borrowed.view(), source);

  Str copy(borrowed);
  Str assigned("short");
  assigned = borrowed;
  source.assign(40, 'c');  // the owner changes its bytes after the copies
  for (const Str* s : {&copy, &assigned}) {
    EXPECT_FALSE(s->is_borrowed());
    EXPECT_EQ(s->view(), std::string(40, 'b'));
  }
  EXPECT_EQ(borrowed.view(), std::string(40, 'c'));  // the borrowed one reads the bytes as they are

  Str moved(std::move(copy));
  EXPECT_EQ(moved.view(), std::string(40, 'b'));
}

TEST(StrBorrowed, ShortTextsAreHeldInline) {
  std::string source = "short text";
  const Str s = Str::borrowed(source);
  source[0] = 'X';
  EXPECT_FALSE(s.is_borrowed());
  EXPECT_EQ(s.view(), "short text");
}

TEST(StrBorrowed, ComparesLikeAnyOtherStr) {
  const std::string text(30, 'q');
  std::string other = text;
  other[29] = 'r';
  const Str heap(text);
  const Str borrowed = Str::borrowed(text);
  const Str borrowed_other = Str::borrowed(other);
  EXPECT_TRUE(same_text(heap, borrowed));
  EXPECT_TRUE(same_text(borrowed, heap));
  EXPECT_TRUE(same_text(borrowed, borrowed));
  EXPECT_FALSE(same_text(borrowed, borrowed_other));
  EXPECT_FALSE(same_text(borrowed, Str(std::string(23, 'q'))));
  EXPECT_TRUE(heap == borrowed);
  EXPECT_EQ(StrHash{}(heap), StrHash{}(borrowed));
  // A map keyed by a heap Str finds a borrowed key of the same text.
  EXPECT_EQ(Str::TextMatcher(heap).matches(borrowed), true);
}

}  // namespace
}  // namespace zelvo
