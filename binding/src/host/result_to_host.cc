// The result dictionary of evaluate, built from an EvalResult.
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dict_template.h"
#include "errors.h"
#include "keys.h"
#include "model/enums.h"
#include "str_cache.h"
#include "value_to_host.h"

namespace korvanthel {
namespace {

// Stores `value` (a new reference) under an interned key.
void put(PyObject* dict, Key k, PyRef value) {
  if (PyDict_SetItem(dict, key(k), value.get()) < 0) throw std::bad_alloc();
}

// The name of an enumeration variant as a str, made on first use and kept
// for the process's lifetime (the names are few and never change).
template <typename E>
PyRef name_to_host(E variant) {
  static std::array<PyObject*, zelvo::names<E>().size()> names{};
  PyObject*& name = names[static_cast<std::size_t>(variant)];
  if (name == nullptr) {
    const std::string_view text = zelvo::to_name(variant);
    name = made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyUnicode_InternInPlace(&name);
  }
  return PyRef::borrow(name);
}

PyRef u64_to_host(std::uint64_t n) { return PyRef::steal(made(PyLong_FromUnsignedLongLong(n))); }

// A list of the given length whose item i is make(items[i]).
template <typename T, typename Make>
PyRef list_of(const std::vector<T>& items, Make&& make) {
  PyRef list = PyRef::steal(made(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(items[i]).release());
  }
  return list;
}

PyRef action_to_host(const zelvo::Action& action) {
  // The verb's template already holds its name.
  Filling dict(action_template(static_cast<std::size_t>(action.verb)));
  dict.set(1, map_to_host(action.args));
  return dict.finish();
}

PyRef violation_to_host(const zelvo::Violation& violation) {
  PyRef dict = PyRef::steal(made(PyDict_New()));
  put(dict.get(), Key::Proof, str_to_host(violation.proof));
  put(dict.get(), Key::Invariant, str_to_host(violation.invariant));
  put(dict.get(), Key::Kind, name_to_host(violation.kind));
  put(dict.get(), Key::Message, text_to_host(violation.message));
  return dict;
}

PyRef constraint_violation_to_host(const zelvo::ConstraintViolation& violation) {
  PyRef dict = PyRef::steal(made(PyDict_New()));
  put(dict.get(), Key::Kind, name_to_host(violation.kind));
  put(dict.get(), Key::Target, str_to_host(violation.target));
  put(dict.get(), Key::Limit, u64_to_host(violation.limit));
  put(dict.get(), Key::Current, u64_to_host(violation.current));
  put(dict.get(), Key::WindowMs, u64_to_host(violation.window_ms));
  return dict;
}

}  // namespace

PyRef result_to_host(const zelvo::EvalResult& result) {
  // A copy of the verdict's template: the seven keys in their order, in a
  // table that never grows while it is filled, with the verdict, a None
  // reason and a zero time already in place. Each list is new.
  Filling dict(result_template(static_cast<std::size_t>(result.verdict)));
  const auto at = [](Key k) { return static_cast<std::size_t>(k); };
  if (result.reason) dict.set(at(Key::Reason), str_to_host(*result.reason));
  dict.set(at(Key::TriggeredRules), list_of(result.triggered_rules, [](std::uint32_t id) { return u64_to_host(id); }));
  if (result.eval_time_us != 0) dict.set(at(Key::EvalTimeUs), u64_to_host(result.eval_time_us));
  dict.set(at(Key::Actions), list_of(result.actions, action_to_host));
  dict.set(at(Key::Violations), list_of(result.violations, violation_to_host));
  dict.set(at(Key::ConstraintViolations), list_of(result.constraint_violations, constraint_violation_to_host));
  return dict.finish();
}

}  // namespace korvanthel
