// The summary of a replay as host values: plain dicts, lists and numbers.
// Every count is kept whole (the times as a histogram), so summaries of
// parts of a trace merge exactly by adding their counts.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "model/enums.h"
#include "py_ref.h"
#include "replay/result_line.h"
#include "replay_parts.h"

namespace korvanthel::tools {
namespace {

using zelvo::replay::ReplaySummary;
using zelvo::replay::TraceFiles;

PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Stores `value` (a new reference, may be null) under `key`; false on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef held = PyRef::steal(value);
  return held && PyDict_SetItemString(dict, key, held.get()) == 0;
}

bool put_item(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef k = PyRef::steal(key);
  PyRef v = PyRef::steal(value);
  return k && v && PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

PyObject* verdicts(const ReplaySummary& s) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  for (auto v : {zelvo::Verdict::Allow, zelvo::Verdict::Deny, zelvo::Verdict::Audit, zelvo::Verdict::Redact}) {
    const std::string_view name = zelvo::replay::verdict_text(v);
    if (!put_item(d.get(), text(name), PyLong_FromUnsignedLongLong(s.verdict_count(v)))) return nullptr;
  }
  return d.release();
}

PyObject* rules(const ReplaySummary& s) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [id, count] : s.rule_counts()) {
    if (!put_item(d.get(), PyLong_FromUnsignedLong(id), PyLong_FromUnsignedLongLong(count))) return nullptr;
  }
  return d.release();
}

PyObject* constraints(const ReplaySummary& s) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& [key, count] : s.constraints()) {
    const auto& [kind, target, limit, window] = key;
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || !put(d.get(), "kind", text(zelvo::to_name(kind))) || !put(d.get(), "target", text(target)) ||
        !put(d.get(), "limit", PyLong_FromUnsignedLongLong(limit)) ||
        !put(d.get(), "window_ms", PyLong_FromUnsignedLongLong(window)) ||
        !put(d.get(), "events", PyLong_FromUnsignedLongLong(count)) || PyList_Append(list.get(), d.get()) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* invariants(const ReplaySummary& s) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& [key, count] : s.invariants()) {
    const auto& [proof, invariant, kind] = key;
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || !put(d.get(), "proof", text(proof)) || !put(d.get(), "invariant", text(invariant)) ||
        !put(d.get(), "kind", text(zelvo::to_name(kind))) ||
        !put(d.get(), "events", PyLong_FromUnsignedLongLong(count)) || PyList_Append(list.get(), d.get()) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* optional_text(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return text(*s);
}

// Puts "line" (and, with files, "file" and "order") for `number`.
bool put_line(PyObject* d, std::uint64_t number, const TraceFiles& files) {
  const zelvo::replay::FileLine at = files.locate(number);
  if (!put(d, "line", PyLong_FromUnsignedLongLong(at.line))) return false;
  return files.empty() || (put(d, "file", text(at.file)) && put(d, "order", PyLong_FromUnsignedLongLong(number)));
}

PyObject* mismatches(const ReplaySummary& s, const TraceFiles& files) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& m : s.mismatches()) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || !put_line(d.get(), m.line, files) ||
        !put(d.get(), "session", optional_text(m.session)) || !put(d.get(), "type", text(m.type)) ||
        !put(d.get(), "expected", text(zelvo::replay::verdict_text(m.expected))) ||
        !put(d.get(), "actual", text(zelvo::replay::verdict_text(m.actual))) ||
        !put(d.get(), "reason", optional_text(m.reason)) || PyList_Append(list.get(), d.get()) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* bad_lines(const ReplaySummary& s, const TraceFiles& files) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& b : s.bad_lines()) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || !put_line(d.get(), b.line, files) || !put(d.get(), "message", text(b.message)) ||
        PyList_Append(list.get(), d.get()) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* latency(const ReplaySummary& s) {
  if (s.events() == 0) Py_RETURN_NONE;
  PyRef d = PyRef::steal(PyDict_New());
  if (!d || !put(d.get(), "p50", PyLong_FromUnsignedLongLong(s.latency_percentile(50))) ||
      !put(d.get(), "p90", PyLong_FromUnsignedLongLong(s.latency_percentile(90))) ||
      !put(d.get(), "p99", PyLong_FromUnsignedLongLong(s.latency_percentile(99))) ||
      !put(d.get(), "max", PyLong_FromUnsignedLongLong(s.latency_max())) ||
      !put(d.get(), "mean", PyFloat_FromDouble(s.latency_mean()))) {
    return nullptr;
  }
  return d.release();
}

PyObject* histogram(const ReplaySummary& s) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [us, count] : s.latency_histogram()) {
    if (!put_item(d.get(), PyLong_FromUnsignedLongLong(us), PyLong_FromUnsignedLongLong(count))) return nullptr;
  }
  return d.release();
}

}  // namespace

PyObject* summary_to_host(const ReplaySummary& s, const TraceFiles& files) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d || !put(d.get(), "events", PyLong_FromUnsignedLongLong(s.events())) ||
      !put(d.get(), "sessions", PyLong_FromUnsignedLongLong(s.sessions())) ||
      !put(d.get(), "verdicts", verdicts(s)) || !put(d.get(), "rules", rules(s)) ||
      !put(d.get(), "constraint_violations", constraints(s)) || !put(d.get(), "violations", invariants(s)) ||
      !put(d.get(), "expectations", PyLong_FromUnsignedLongLong(s.expectations())) ||
      !put(d.get(), "mismatches", mismatches(s, files)) || !put(d.get(), "bad_lines", bad_lines(s, files)) ||
      !put(d.get(), "latency_us", histogram(s)) || !put(d.get(), "eval_time_us", latency(s))) {
    return nullptr;
  }
  return d.release();
}

}  // namespace korvanthel::tools
