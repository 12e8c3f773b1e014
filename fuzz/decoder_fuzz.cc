// Fuzz target: the policy decoder over raw bytes (a container's payload).
//
// Beyond "no crash, no leak, no undefined behaviour", it checks that a
// failure's message carries its position, that a decoded policy deep-copies,
// and that on valid UTF-8 the text decoder (used for host str) and the bytes
// decoder agree exactly: same success, or the same message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "model/json_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto from_bytes = zelvo::parse_policy_json_bytes(bytes);
  std::string bytes_message;
  if (from_bytes) {
    zelvo::CompiledPolicy copy = from_bytes.value();
    if (copy.name != from_bytes.value().name) zelvo_fuzz::fail("deep copy changed the name");
  } else {
    const zelvo::DecodeError& error = from_bytes.error();
    bytes_message = error.message();
    if (error.what.empty() || error.line == 0 || !zelvo_fuzz::has_position_suffix(bytes_message)) {
      zelvo_fuzz::fail("malformed decode error:", bytes_message);
    }
    if (error.column > size) zelvo_fuzz::fail("error column beyond the input:", bytes_message);
  }

  if (zelvo_fuzz::valid_utf8(bytes)) {
    auto from_text = zelvo::parse_policy_json(bytes);
    if (from_text.has_value() != from_bytes.has_value()) {
      zelvo_fuzz::fail("text and bytes decoders disagree on success:", bytes_message);
    }
    if (!from_text && from_text.error().message() != bytes_message) {
      zelvo_fuzz::fail("text and bytes decoders disagree:", from_text.error().message() + " vs " + bytes_message);
    }
  }
  return 0;
}
