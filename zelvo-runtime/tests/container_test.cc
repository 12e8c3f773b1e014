// The .zelvoc readers: check order, file and memory agreement, hostile lengths.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "container/container.h"

namespace zelvo {
namespace {

constexpr std::string_view kPolicy =
    R"({"name":"p","severity":"High","scopes":[],"rules":[],"constraints":[],"state_machines":[],)"
    R"("metadata":{"annotations":[],"source_hash":0,"compiler_version":"1"}})";

// A scratch file removed when the test ends.
class TempFile {
 public:
  explicit TempFile(std::string_view bytes) {
    char name[] = "/tmp/zelvoc_test_XXXXXX";
    const int fd = ::mkstemp(name);
    path_ = name;
    std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ::close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string outcome_bytes(std::string_view data) {
  auto r = load_policy_bytes(data);
  return r ? "OK " + r.value().name.str() : r.error().message();
}

std::string outcome_file(std::string_view data) {
  TempFile f(data);
  auto r = load_policy_file(f.path());
  return r ? "OK " + r.value().name.str() : r.error().message();
}

std::string header(std::uint32_t magic, std::uint16_t version, std::uint16_t reserved, std::uint32_t length) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>(magic >> (8 * i));
  for (int i = 0; i < 2; ++i) out += static_cast<char>(version >> (8 * i));
  for (int i = 0; i < 2; ++i) out += static_cast<char>(reserved >> (8 * i));
  for (int i = 0; i < 4; ++i) out += static_cast<char>(length >> (8 * i));
  return out;
}

struct ContainerCase {
  const char* name;
  std::string data;
  std::string message;
};

class ContainerTest : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(ContainerTest, FileAndBytesAgree) {
  EXPECT_EQ(outcome_bytes(GetParam().data), GetParam().message);
  EXPECT_EQ(outcome_file(GetParam().data), GetParam().message);
}

const std::string kGood = make_container(kPolicy);
const std::string kShort = "I/O error: failed to fill whole buffer";

INSTANTIATE_TEST_SUITE_P(
    CheckOrder, ContainerTest,
    ::testing::Values(
        ContainerCase{"Empty", "", kShort},
        ContainerCase{"ShortMagic", kGood.substr(0, 3), kShort},
        ContainerCase{"BadMagicBeforeVersion", header(0x12345678, 9, 0, 0), "not a valid .zelvoc file (bad magic bytes)"},
        ContainerCase{"BadMagicOnly", "\xae\x91\x5c\x02", "not a valid .zelvoc file (bad magic bytes)"},
        ContainerCase{"MagicThenShortVersion", kGood.substr(0, 5), kShort},
        ContainerCase{"UnsupportedVersion", header(kContainerMagic, 2, 0, 0).substr(0, 7),
                      "unsupported format version 2 (expected 1)"},
        ContainerCase{"ShortReserved", kGood.substr(0, 7), kShort},
        ContainerCase{"ShortLength", kGood.substr(0, 11), kShort},
        ContainerCase{"PayloadShortByOne", kGood.substr(0, kGood.size() - 1), kShort},
        ContainerCase{"HugeDeclaredLength", header(kContainerMagic, 1, 0, 0xFFFFFFFF), kShort},
        ContainerCase{"EmptyPayload", make_container(""),
                      "serialization error: EOF while parsing a value at line 1 column 0"},
        ContainerCase{"ReservedIgnored", make_container(kPolicy, 1, 0xFFFF), "OK p"},
        ContainerCase{"ExactPayload", kGood, "OK p"},
        ContainerCase{"BytesAfterPayloadIgnored", kGood + "garbage", "OK p"},
        ContainerCase{"TrailingInsidePayload", make_container(std::string(kPolicy) + " x"),
                      "serialization error: trailing characters at line 1 column 161"},
        ContainerCase{"MissingRules", make_container(R"({"name":"p","severity":"High","scopes":[]})"),
                      "serialization error: missing field `rules` at line 1 column 42"},
        ContainerCase{"InvalidUtf8", make_container("{\"name\":\"\xff\"}"),
                      "serialization error: invalid unicode code point at line 1 column 11"}),
    [](const ::testing::TestParamInfo<ContainerCase>& info) { return std::string(info.param.name); });

TEST(Container, MakeContainerLayout) {
  EXPECT_EQ(make_container("{}", 1, 0x0203), std::string("\xae\x91\x5c\x01\x01\x00\x03\x02\x02\x00\x00\x00{}", 14));
}

TEST(Container, UnopenableFileIsAnIoError) {
  auto r = load_policy_file("/nonexistent/dir/policy.zelvoc");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, LoadError::Kind::Io);
  EXPECT_EQ(r.error().message(), "I/O error: No such file or directory (os error 2)");
  auto dir = load_policy_file("/tmp");
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().message(), "I/O error: Is a directory (os error 21)");
}

TEST(Container, ErrorKindsCarryTheirPayload) {
  auto r = load_policy_bytes(header(kContainerMagic, 7, 0, 0));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, LoadError::Kind::UnsupportedVersion);
  EXPECT_EQ(r.error().found_version, 7);
  auto s = load_policy_bytes(make_container("[]"));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind, LoadError::Kind::Serialization);
  EXPECT_EQ(s.error().text, "invalid length 0, expected struct CompiledPolicy with 7 elements at line 1 column 2");
}

}  // namespace
}  // namespace zelvo
