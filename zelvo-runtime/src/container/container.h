// The compiled policy container (.zelvoc): a 12-byte little-endian header
// (magic 0x015C91AE, format version 1, a reserved u16, the u32 payload
// length) followed by the policy's JSON text.
//
// Both readers check the fields strictly in file order and stop at the first
// failure. A declared payload length is never trusted for an allocation:
// nothing larger than the data actually present is ever allocated.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/expected.h"
#include "model/policy.h"

namespace zelvo {

inline constexpr std::uint32_t kContainerMagic = 0x015C91AE;
inline constexpr std::uint16_t kContainerVersion = 1;
inline constexpr std::size_t kContainerHeaderSize = 12;

struct LoadError {
  enum class Kind : std::uint8_t { Io, Serialization, BadMagic, UnsupportedVersion };
  Kind kind = Kind::Io;
  std::string text;              // Io: the I/O error's text; Serialization: the decoder's message
  std::uint16_t found_version = 0;  // UnsupportedVersion only
  // "I/O error: {}", "serialization error: {}",
  // "not a valid .zelvoc file (bad magic bytes)",
  // "unsupported format version {} (expected 1)".
  std::string message() const;
};

// Reads a container from a file; the file is closed on every path.
Expected<CompiledPolicy, LoadError> load_policy_file(const std::string& path);

// Reads a container from memory; the caller keeps the bytes.
Expected<CompiledPolicy, LoadError> load_policy_bytes(std::string_view data);

// Builds a container around a JSON payload (for tools and tests).
std::string make_container(std::string_view payload, std::uint16_t version = kContainerVersion,
                           std::uint16_t reserved = 0);

}  // namespace zelvo
