// Entry points of the policy decoder.
#include "model/json_decoder.h"

#include "model/json_productions.h"

namespace zelvo {
namespace {

Expected<CompiledPolicy, DecodeError> decode(std::string_view input, bool check_utf8) {
  json::JsonReader reader(input, check_utf8);
  CompiledPolicy policy;
  if (json::decode_policy(reader, policy) && reader.end_root()) return policy;
  reader.pin();  // every fault is pinned by the root record already; this is a guard
  const json::Fault& fault = reader.fault();
  const json::Location at = json::locate(input, fault.offset);
  return unexpected(DecodeError{json::describe(fault), at.line, at.column});
}

}  // namespace

std::string DecodeError::message() const {
  return what + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Expected<CompiledPolicy, DecodeError> parse_policy_json(std::string_view text) { return decode(text, false); }

Expected<CompiledPolicy, DecodeError> parse_policy_json_bytes(std::string_view bytes) { return decode(bytes, true); }

}  // namespace zelvo
