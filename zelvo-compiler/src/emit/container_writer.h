// The .zelvoc container around a policy's JSON text: the 12-byte
// little-endian header (magic 0x015C91AE, format version 1, reserved 0,
// the payload's length in bytes) followed by the text unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelvo::lang {

// The largest payload a container can declare.
inline constexpr std::uint64_t kMaxContainerPayload = UINT32_MAX;

// Precondition: json.size() <= kMaxContainerPayload (std::length_error
// otherwise). Cost: one copy of the text.
std::string write_container(std::string_view json);

}  // namespace zelvo::lang
