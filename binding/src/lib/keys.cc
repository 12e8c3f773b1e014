#include "keys.h"

#include <array>
#include <cstddef>

namespace korvanthel {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Key::Count_)> kKeyTexts = {
    "verdict", "reason", "triggered_rules", "eval_time_us", "actions", "violations", "constraint_violations",
    "verb",    "args",   "proof",           "invariant",    "kind",    "message",    "target",
    "limit",   "current", "window_ms",
};

std::array<PyObject*, kKeyTexts.size()> g_keys{};  // strong references, never released

}  // namespace

bool init_keys() noexcept {
  for (std::size_t i = 0; i < kKeyTexts.size(); ++i) {
    if (g_keys[i] != nullptr) continue;
    g_keys[i] = PyUnicode_InternFromString(kKeyTexts[i]);
    if (g_keys[i] == nullptr) return false;
  }
  return true;
}

PyObject* key(Key k) noexcept { return g_keys[static_cast<std::size_t>(k)]; }

}  // namespace korvanthel
