// The decoder of a compiled policy's JSON form.
//
// A single pass over the input that builds the model records directly (no
// intermediate document). It accepts exactly the object and array forms of
// every record, enumerations as strings or one-key objects, pairs as
// two-element arrays, null for absent optional fields, and skips unknown
// keys. At most 127 arrays and objects may be open at once; the decoder's
// own recursion is bounded by that limit, so no input can exhaust the stack.
// The first error ends decoding; no partial policy is returned.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "model/expected.h"
#include "model/policy.h"

namespace zelvo {

// A decoding failure: what went wrong and where. message() renders the
// full text, e.g. "missing field `rules` at line 3 column 1".
struct DecodeError {
  std::string what;       // the message without its position
  std::size_t line = 1;   // from 1, counted by line feeds
  std::size_t column = 0; // bytes into the line up to and including the offending byte
  std::string message() const;
};

// Decodes text that is already known to be valid UTF-8 (a host str).
Expected<CompiledPolicy, DecodeError> parse_policy_json(std::string_view text);

// Decodes raw bytes (a container payload); every string must be valid UTF-8
// ("invalid unicode code point" otherwise).
Expected<CompiledPolicy, DecodeError> parse_policy_json_bytes(std::string_view bytes);

}  // namespace zelvo
