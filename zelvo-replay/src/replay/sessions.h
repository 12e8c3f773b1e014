// SessionTable: one engine per session of a trace.
//
// Contracts:
//   - A session's engine is built when its first event is replayed, from a
//     copy of the policy, with its clock at that event's time (so its
//     monitors start then), and with every context and configuration value
//     of the replay stored in it. Sessions share nothing.
//   - Cost: building an engine copies the policy and prepares it (about
//     what loading the policy's decoded form costs); each open session
//     holds one engine. A replay that knows a session has ended closes it.
//   - Comparing two policies, each session holds an engine of each, on one
//     clock, with the same stored values.
//   - Sessions are found by their text; the last one found is remembered,
//     so a run of events of one session costs one comparison each.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/engine.h"
#include "event/value_map.h"
#include "model/policy.h"
#include "replay/event_clock.h"

namespace zelvo::replay {

struct Session {
  Session(const CompiledPolicy& policy, const CompiledPolicy* other, std::uint64_t start_ms)
      : clock(start_ms), engine(policy, clock) {
    if (other != nullptr) against = std::make_unique<PolicyEngine>(*other, clock);
  }

  EventClock clock;  // before the engines, which read it
  PolicyEngine engine;
  std::unique_ptr<PolicyEngine> against;  // the second policy's engine when comparing two
  std::uint64_t last_ts = 0;    // time of the last event replayed
  std::uint64_t last_line = 0;  // its line
  std::string name_json;        // its name as result lines write it, once written
};

class SessionTable {
 public:
  SessionTable(const CompiledPolicy& policy, const CompiledPolicy* against, const ValueMap& context,
               const ValueMap& config) noexcept
      : policy_(policy), against_(against), context_(context), config_(config) {}

  // The open session named `name`, or nullptr.
  Session* find(std::string_view name);
  // Opens the session `name` (which must not be open) at `start_ms`.
  Session& open(std::string_view name, std::uint64_t start_ms);
  // Closes the session `name`, dropping its engine, if it is open.
  void close(std::string_view name);
  std::size_t open_count() const noexcept { return sessions_.size(); }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };

  const CompiledPolicy& policy_;
  const CompiledPolicy* against_;
  const ValueMap& context_;
  const ValueMap& config_;
  std::unordered_map<std::string, std::unique_ptr<Session>, Hash, std::equal_to<>> sessions_;
  std::string last_name_;
  Session* last_ = nullptr;
};

}  // namespace zelvo::replay
