// The groups of a replay against a second policy as host values: for each
// change (before, after, stopped, started, count, examples), each example
// (line, file, session, type, before_rules, after_rules, before_reason,
// after_reason, order: the line, as Example orders it), as
// korvanthel_tools.replay.policy_diff builds its
// ChangeGroup and Example from them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.h"
#include "replay/change_groups.h"
#include "replay_parts.h"

namespace korvanthel::tools {
namespace {

namespace rp = zelvo::replay;

PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* optional_text(const std::optional<std::string>& s) {
  if (!s) return Py_NewRef(Py_None);
  return text(*s);
}

PyObject* rule_tuple(const std::vector<std::uint32_t>& rules) {
  PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(rules.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    PyObject* id = PyLong_FromUnsignedLong(rules[i]);
    if (id == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), id);
  }
  return out.release();
}

// A tuple of new references (any may be null: the tuple is then not made).
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  std::vector<PyRef> held;
  held.reserve(items.size());
  bool ok = true;
  for (PyObject* item : items) {
    held.push_back(PyRef::steal(item));
    ok = ok && item != nullptr;
  }
  if (!ok) return nullptr;
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(held.size()));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < held.size(); ++i) PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(i), held[i].release());
  return out;
}

PyObject* example_to_host(const rp::ChangeExample& e) {
  return tuple_of({PyLong_FromUnsignedLongLong(e.line), optional_text(e.file), optional_text(e.session), text(e.type),
                   rule_tuple(e.before_rules), rule_tuple(e.after_rules), optional_text(e.before_reason),
                   optional_text(e.after_reason), PyLong_FromUnsignedLongLong(e.line)});
}

PyObject* examples_to_host(const std::vector<rp::ChangeExample>& examples) {
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(examples.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < examples.size(); ++i) {
    PyObject* item = example_to_host(examples[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

}  // namespace

PyObject* changes_to_host(const rp::ChangeGroups& changes) {
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(changes.groups().size())));
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (const rp::ChangeGroup& g : changes.groups()) {
    PyObject* item = tuple_of({text(rp::verdict_text(g.before)), text(rp::verdict_text(g.after)), rule_tuple(g.stopped),
                               rule_tuple(g.started), PyLong_FromUnsignedLongLong(g.count),
                               examples_to_host(g.examples)});
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), i++, item);
  }
  return out.release();
}

}  // namespace korvanthel::tools
