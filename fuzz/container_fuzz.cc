// Fuzz target: the .zelvoc reader over bytes in memory.
//
// Checks that every failure renders one of the four load-error texts, and
// that a container whose header is sound and whose declared payload is
// present gives exactly what the decoder gives for that payload.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "container/container.h"
#include "fuzz_util.h"
#include "model/json_decoder.h"

namespace {

std::uint32_t read_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto loaded = zelvo::load_policy_bytes(bytes);
  std::string message;
  if (!loaded) {
    message = loaded.error().message();
    if (!starts_with(message, "I/O error: ") && !starts_with(message, "serialization error: ") &&
        message != "not a valid .zelvoc file (bad magic bytes)" &&
        !starts_with(message, "unsupported format version ")) {
      zelvo_fuzz::fail("unknown load error text:", message);
    }
  }

  const bool sound_header = size >= zelvo::kContainerHeaderSize && read_le32(data) == zelvo::kContainerMagic &&
                            (data[4] | data[5] << 8) == zelvo::kContainerVersion;
  if (!sound_header) {
    if (loaded) zelvo_fuzz::fail("a container without a sound header loaded");
    return 0;
  }
  const std::uint32_t declared = read_le32(data + 8);
  if (declared > size - zelvo::kContainerHeaderSize) {
    if (message != "I/O error: failed to fill whole buffer") zelvo_fuzz::fail("short payload gave:", message);
    return 0;
  }
  auto decoded = zelvo::parse_policy_json_bytes(bytes.substr(zelvo::kContainerHeaderSize, declared));
  if (decoded.has_value() != loaded.has_value()) zelvo_fuzz::fail("container and decoder disagree on success");
  if (!decoded && message != "serialization error: " + decoded.error().message()) {
    zelvo_fuzz::fail("container and decoder disagree:", message);
  }
  return 0;
}
