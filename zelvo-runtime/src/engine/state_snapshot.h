// Engine state as bytes: everything that decides an engine's later
// verdicts, saved from one engine and restored into another built from the
// same policy.
//
// What is saved: the event count; each monitor's current state and the
// time its monitoring started (the origin of its deadline); each
// constraint window's timestamps. Not saved: the policy itself, context and
// configuration values (the host sets those), the clock.
//
// Layout (little-endian; "varint" is LEB128, at most 10 bytes):
//   magic "ZLST", format version u32 (kStateFormat), policy id u64,
//   event count u64,
//   monitor count varint, then per monitor: state varint, started_at u64,
//   window count varint, then per window (targets in byte order):
//     target length varint, target bytes, entry count varint,
//     first entry varint, then each later entry as its difference from the
//     one before it (entries are ascending),
//   checksum u64 (FNV-1a over every byte before it).
//
// The policy id binds the bytes to one policy: the caller derives it from
// the policy (the tools derive it from the policy's canonical JSON) and
// gives the same id to save and restore. restore_state checks, before it
// changes anything, the magic, the version, the id, the checksum, that the
// monitor count and the window targets are the engine's, and that every
// count fits in the bytes that remain (so damaged bytes never make it
// allocate more than the input holds); on any failure it returns the
// reason and the engine is unchanged.
//
// Cost: save and restore are O(monitors + total window entries); the
// saved form is about 2-3 bytes per window entry when events are close in
// time. holds_live_state is O(monitors + windows).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace zelvo {

inline constexpr std::uint32_t kStateFormat = 1;

// The state of `engine`, bound to `policy_id`.
std::string save_state(const PolicyEngine& engine, std::uint64_t policy_id);

// Replaces the state of `engine` by the one in `bytes`. Returns an empty
// string on success, else the reason the bytes were refused (the engine is
// then unchanged).
std::string restore_state(PolicyEngine& engine, std::string_view bytes, std::uint64_t policy_id);

// True when dropping the engine and later starting a fresh one at `now_ms`
// could change a verdict: a window still holds an entry at or after
// now_ms - window_millis, or a monitor is out of its initial state.
bool holds_live_state(const PolicyEngine& engine, std::uint64_t now_ms) noexcept;

// FNV-1a (64 bits) of `bytes`: the checksum of the saved form, and a policy
// id for callers that hash the policy's text.
std::uint64_t fnv1a64(std::string_view bytes) noexcept;

}  // namespace zelvo
