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
std::array<PyObject*, kVerdictTexts.size()> g_templates{};

bool intern_all(std::span<const char* const> texts, std::span<PyObject*> out) noexcept {
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (out[i] != nullptr) continue;
    out[i] = PyUnicode_InternFromString(texts[i]);
    if (out[i] == nullptr) return false;
  }
  return true;
}

bool make_template(std::size_t verdict) noexcept {
  if (g_templates[verdict] != nullptr) return true;
  PyObject* zero = PyLong_FromLong(0);
  PyObject* dict = PyDict_New();
  bool ok = zero != nullptr && dict != nullptr;
  for (std::size_t i = 0; ok && i < kResultKeys; ++i) {
    PyObject* value = Py_None;
    if (i == static_cast<std::size_t>(Key::Verdict)) value = g_verdicts[verdict];
    if (i == static_cast<std::size_t>(Key::EvalTimeUs)) value = zero;
    ok = PyDict_SetItem(dict, g_keys[i], value) == 0;
  }
  Py_XDECREF(zero);
  if (!ok) {
    Py_XDECREF(dict);
    return false;
  }
  g_templates[verdict] = dict;
  return true;
}

bool make_templates() noexcept {
  for (std::size_t verdict = 0; verdict < g_templates.size(); ++verdict) {
    if (!make_template(verdict)) return false;
  }
  return true;
}

}  // namespace

bool init_keys() noexcept {
  return intern_all(kKeyTexts, g_keys) && intern_all(kVerdictTexts, g_verdicts) && make_templates();
}

PyObject* key(Key k) noexcept { return g_keys[static_cast<std::size_t>(k)]; }

PyObject* verdict_text(std::size_t position) noexcept { return g_verdicts[position]; }

PyObject* result_template(std::size_t verdict_position) noexcept { return g_templates[verdict_position]; }

}  // namespace korvanthel
