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
static_assert(static_cast<std::size_t>(Key::Verdict) == 0 && static_cast<std::size_t>(Key::Args) ==
                                                                 static_cast<std::size_t>(Key::Verb) + 1);

// Strong references, never released.
std::array<PyObject*, kKeyTexts.size()> g_keys{};
std::array<PyObject*, kVerdictTexts.size()> g_verdicts{};
std::array<DictTemplate, kVerdictTexts.size()> g_templates;
DictTemplate g_action_template;

bool intern_all(std::span<const char* const> texts, std::span<PyObject*> out) noexcept {
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (out[i] != nullptr) continue;
    out[i] = PyUnicode_InternFromString(texts[i]);
    if (out[i] == nullptr) return false;
  }
  return true;
}

bool make_templates() noexcept {
  PyObject* zero = PyLong_FromLong(0);
  if (zero == nullptr) return false;
  bool ok = true;
  std::array<PyObject*, kResultKeys> values{};
  values[static_cast<std::size_t>(Key::EvalTimeUs)] = zero;
  for (std::size_t verdict = 0; ok && verdict < g_templates.size(); ++verdict) {
    values[static_cast<std::size_t>(Key::Verdict)] = g_verdicts[verdict];
    ok = g_templates[verdict].make(std::span<PyObject* const>(g_keys.data(), kResultKeys), values);
  }
  Py_DECREF(zero);
  return ok && g_action_template.make(std::span<PyObject* const>(&g_keys[static_cast<std::size_t>(Key::Verb)], 2), {});
}

}  // namespace

bool init_keys() noexcept {
  return intern_all(kKeyTexts, g_keys) && intern_all(kVerdictTexts, g_verdicts) && make_templates();
}

PyObject* key(Key k) noexcept { return g_keys[static_cast<std::size_t>(k)]; }

PyObject* verdict_text(std::size_t position) noexcept { return g_verdicts[position]; }

const DictTemplate& result_template(std::size_t verdict_position) noexcept { return g_templates[verdict_position]; }

const DictTemplate& action_template() noexcept { return g_action_template; }

}  // namespace korvanthel
