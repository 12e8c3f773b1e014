#include "keys.h"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "model/enums.h"

namespace korvanthel {
namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(Key::Count_)> kKeyTexts = {
    "verdict", "reason", "triggered_rules", "eval_time_us", "actions", "violations", "constraint_violations",
    "verb",    "args",   "proof",           "invariant",    "kind",    "message",    "target",
    "limit",   "current", "window_ms",
};

constexpr std::array<std::string_view, 4> kVerdictTexts = {"allow", "deny", "audit", "redact"};
constexpr auto kVerbTexts = zelvo::names<zelvo::ActionVerb>();
constexpr std::size_t kResultKeys = static_cast<std::size_t>(Key::ConstraintViolations) + 1;
static_assert(static_cast<std::size_t>(Key::Verdict) == 0 && static_cast<std::size_t>(Key::Args) ==
                                                                 static_cast<std::size_t>(Key::Verb) + 1);

// Strong references, never released.
std::array<PyObject*, kKeyTexts.size()> g_keys{};
std::array<PyObject*, kVerdictTexts.size()> g_verdicts{};
std::array<PyObject*, kVerbTexts.size()> g_verbs{};
std::array<DictTemplate, kVerdictTexts.size()> g_templates;
std::array<DictTemplate, kVerbTexts.size()> g_action_templates;

PyObject* intern(std::string_view text) noexcept {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str != nullptr) PyUnicode_InternInPlace(&str);
  return str;
}

bool intern_all(std::span<const std::string_view> texts, std::span<PyObject*> out) noexcept {
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (out[i] != nullptr) continue;
    out[i] = intern(texts[i]);
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
  const std::span<PyObject* const> action_keys(&g_keys[static_cast<std::size_t>(Key::Verb)], 2);
  for (std::size_t verb = 0; ok && verb < g_action_templates.size(); ++verb) {
    const std::array<PyObject*, 1> verb_value = {g_verbs[verb]};
    ok = g_action_templates[verb].make(action_keys, verb_value);
  }
  return ok;
}

}  // namespace

bool init_keys() noexcept {
  return intern_all(kKeyTexts, g_keys) && intern_all(kVerdictTexts, g_verdicts) &&
         intern_all(kVerbTexts, g_verbs) && make_templates();
}

PyObject* key(Key k) noexcept { return g_keys[static_cast<std::size_t>(k)]; }

PyObject* verdict_text(std::size_t position) noexcept { return g_verdicts[position]; }

const DictTemplate& result_template(std::size_t verdict_position) noexcept { return g_templates[verdict_position]; }

const DictTemplate& action_template(std::size_t verb_position) noexcept { return g_action_templates[verb_position]; }

}  // namespace korvanthel
