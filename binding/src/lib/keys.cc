#include "keys.h"

#include <array>
#include <cstddef>
#include <span>

namespace korvanthel {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Key::Count_)> kKeyTexts = {
    "verdict", "reason", "triggered_rules", "eval_time_us", "actions", "violations", "constraint_violations",
    "verb",    "args",   "proof",           "invariant",    "kind",    "message",    "target",
    "limit",   "current", "window_ms",
};

constexpr std::array<const char*, 4> kVerdictTexts = {"allow", "deny", "audit", "redact"};
constexpr std::size_t kResultKeys = static_cast<std::size_t>(Key::ConstraintViolations) + 1;

// Strong references, never released.
std::array<PyObject*, kKeyTexts.size()> g_keys{};
std::array<PyObject*, kVerdictTexts.size()> g_verdicts{};
PyObject* g_template = nullptr;

bool intern_all(std::span<const char* const> texts, std::span<PyObject*> out) noexcept {
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (out[i] != nullptr) continue;
    out[i] = PyUnicode_InternFromString(texts[i]);
    if (out[i] == nullptr) return false;
  }
  return true;
}

bool make_template() noexcept {
  if (g_template != nullptr) return true;
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return false;
  for (std::size_t i = 0; i < kResultKeys; ++i) {
    if (PyDict_SetItem(dict, g_keys[i], Py_None) < 0) {
      Py_DECREF(dict);
      return false;
    }
  }
  g_template = dict;
  return true;
}

}  // namespace

bool init_keys() noexcept {
  return intern_all(kKeyTexts, g_keys) && intern_all(kVerdictTexts, g_verdicts) && make_template();
}

PyObject* key(Key k) noexcept { return g_keys[static_cast<std::size_t>(k)]; }

PyObject* verdict_text(std::size_t position) noexcept { return g_verdicts[position]; }

PyObject* result_template() noexcept { return g_template; }

}  // namespace korvanthel
