#include "engine/state_snapshot.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace zelvo {

// The one place that reads and writes an engine's private state.
struct EngineStateAccess {
  static std::vector<MachineMonitor>& monitors(PolicyEngine& e) noexcept { return e.monitors_; }
  static std::uint64_t& event_count(PolicyEngine& e) noexcept { return e.event_count_; }
  static auto& windows(PolicyEngine& e) noexcept { return e.windows_; }
  static const auto& windows(const PolicyEngine& e) noexcept { return e.windows_; }
  static TimestampWindow& timestamps(ConstraintWindow& w) noexcept { return w.timestamps_; }
  static const TimestampWindow& timestamps(const ConstraintWindow& w) noexcept { return w.timestamps_; }
};

namespace {

constexpr char kMagic[4] = {'Z', 'L', 'S', 'T'};
constexpr std::size_t kChecksumSize = 8;

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

// Reads from a byte range; every read fails (false) instead of passing the end.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  std::size_t remaining() const noexcept { return bytes_.size() - pos_; }

  bool u32(std::uint32_t& v) noexcept {
    std::uint64_t wide = 0;
    if (!fixed(4, wide)) return false;
    v = static_cast<std::uint32_t>(wide);
    return true;
  }
  bool u64(std::uint64_t& v) noexcept { return fixed(8, v); }

  bool varint(std::uint64_t& v) noexcept {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ >= bytes_.size()) return false;
      const auto b = static_cast<unsigned char>(bytes_[pos_++]);
      if (shift == 63 && b > 1) return false;  // more than 64 bits
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }

  bool text(std::size_t n, std::string_view& out) noexcept {
    if (n > remaining()) return false;
    out = bytes_.substr(pos_, n);
    pos_ += n;
    return true;
  }

 private:
  bool fixed(int n, std::uint64_t& v) noexcept {
    if (remaining() < static_cast<std::size_t>(n)) return false;
    v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[pos_ + i])) << (8 * i);
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// The windows in target byte order, so that equal states save equal bytes.
template <typename Windows>
auto sorted_windows(Windows& windows) {
  std::vector<std::pair<std::string_view, decltype(&windows.begin()->second)>> out;
  out.reserve(windows.size());
  for (auto& [target, window] : windows) out.emplace_back(target.view(), &window);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

struct MonitorState {
  std::uint32_t state;
  std::uint64_t started_at_ms;
};

}  // namespace

std::uint64_t fnv1a64(std::string_view bytes) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string save_state(const PolicyEngine& engine, std::uint64_t policy_id) {
  std::string out(kMagic, sizeof kMagic);
  put_u32(out, kStateFormat);
  put_u64(out, policy_id);
  put_u64(out, engine.event_count());
  put_varint(out, engine.monitors().size());
  for (const MachineMonitor& m : engine.monitors()) {
    put_varint(out, m.current_state);
    put_u64(out, m.started_at_ms);
  }
  const auto windows = sorted_windows(EngineStateAccess::windows(engine));
  put_varint(out, windows.size());
  for (const auto& [target, window] : windows) {
    put_varint(out, target.size());
    out.append(target);
    const TimestampWindow& ts = EngineStateAccess::timestamps(*window);
    put_varint(out, ts.size());
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < ts.size(); ++i) {
      put_varint(out, ts.at(i) - previous);
      previous = ts.at(i);
    }
  }
  put_u64(out, fnv1a64(out));
  return out;
}

std::string restore_state(PolicyEngine& engine, std::string_view bytes, std::uint64_t policy_id) {
  if (bytes.size() < sizeof kMagic + 4 + kChecksumSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return "not a saved engine state";
  }
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumSize);
  std::uint64_t checksum = 0;
  Reader tail(bytes.substr(body.size()));
  tail.u64(checksum);
  Reader in(body.substr(sizeof kMagic));
  std::uint32_t format = 0;
  in.u32(format);
  if (format != kStateFormat) {
    return "saved engine state has format version " + std::to_string(format) + ", this engine reads version " +
           std::to_string(kStateFormat);
  }
  if (checksum != fnv1a64(body)) return "saved engine state is damaged (checksum mismatch)";
  std::uint64_t id = 0;
  std::uint64_t count = 0;
  if (!in.u64(id) || !in.u64(count)) return "saved engine state is truncated";
  if (id != policy_id) return "saved engine state belongs to another policy";

  std::uint64_t n_monitors = 0;
  if (!in.varint(n_monitors)) return "saved engine state is truncated";
  if (n_monitors != engine.monitors().size()) {
    return "saved engine state has " + std::to_string(n_monitors) + " monitors, the policy has " +
           std::to_string(engine.monitors().size());
  }
  std::vector<MonitorState> monitors;
  monitors.reserve(engine.monitors().size());
  for (std::uint64_t i = 0; i < n_monitors; ++i) {
    std::uint64_t state = 0;
    std::uint64_t started = 0;
    if (!in.varint(state) || !in.u64(started)) return "saved engine state is truncated";
    if (state > UINT32_MAX) return "saved engine state has a monitor state out of range";
    monitors.push_back({static_cast<std::uint32_t>(state), started});
  }

  auto& live = EngineStateAccess::windows(engine);
  const auto targets = sorted_windows(live);
  std::uint64_t n_windows = 0;
  if (!in.varint(n_windows)) return "saved engine state is truncated";
  if (n_windows != targets.size()) return "saved engine state's windows are not the policy's";
  std::vector<TimestampWindow> windows(targets.size());
  for (std::size_t w = 0; w < targets.size(); ++w) {
    std::uint64_t len = 0;
    std::string_view target;
    if (!in.varint(len) || !in.text(len, target)) return "saved engine state is truncated";
    if (target != targets[w].first) return "saved engine state's windows are not the policy's";
    std::uint64_t entries = 0;
    if (!in.varint(entries)) return "saved engine state is truncated";
    if (entries > in.remaining()) return "saved engine state is truncated";  // each entry takes a byte at least
    std::uint64_t value = 0;
    for (std::uint64_t i = 0; i < entries; ++i) {
      std::uint64_t delta = 0;
      if (!in.varint(delta)) return "saved engine state is truncated";
      if (delta > UINT64_MAX - value) return "saved engine state has a window entry out of range";
      value += delta;
      windows[w].insert(value);  // ascending: appends
    }
  }
  if (in.remaining() != 0) return "saved engine state has trailing bytes";

  // Everything is checked and built: nothing below can fail.
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    MachineMonitor& m = EngineStateAccess::monitors(engine)[i];
    m.current_state = monitors[i].state;
    m.started_at_ms = monitors[i].started_at_ms;
  }
  for (std::size_t w = 0; w < targets.size(); ++w) {
    std::swap(EngineStateAccess::timestamps(*targets[w].second), windows[w]);
  }
  EngineStateAccess::event_count(engine) = count;
  return {};
}

bool holds_live_state(const PolicyEngine& engine, std::uint64_t now_ms) noexcept {
  for (const MachineMonitor& m : engine.monitors()) {
    if (m.current_state != m.machine->initial_state) return true;
  }
  for (const auto& [target, window] : EngineStateAccess::windows(engine)) {
    const TimestampWindow& ts = EngineStateAccess::timestamps(window);
    if (ts.empty()) continue;
    const std::uint64_t span = window.constraint().window_millis;
    const std::uint64_t cutoff = now_ms > span ? now_ms - span : 0;
    if (ts.at(ts.size() - 1) >= cutoff) return true;
  }
  return false;
}

}  // namespace zelvo
