// pair_result_lines: two replays' result lines side by side, the pairs that
// may differ handed back for decoding (replay/result_pairs.h).
#define PY_SSIZE_T_CLEAN
#include <array>
#include <Python.h>

#include <new>
#include <string_view>
#include <vector>

#include "host/arg_binder.h"
#include "py_ref.h"
#include "replay/result_pairs.h"
#include "replay_parts.h"
#include "unlocked_run.h"

namespace korvanthel::tools {
namespace {

namespace rp = zelvo::replay;

// A held buffer of a bytes-like argument.
class Held {
 public:
  bool take(PyObject* obj, const char* name) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
      PyErr_Format(PyExc_TypeError, "pair_result_lines() argument '%s' must be bytes-like, not '%s'", name,
                   Py_TYPE(obj)->tp_name);
      return false;
    }
    held_ = true;
    return true;
  }
  ~Held() {
    if (held_) PyBuffer_Release(&view_);
  }
  std::string_view text() const noexcept {
    return std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyRef line_bytes(std::string_view data, std::size_t index) {
  // The index-th non-blank line; only called for the few lines reported.
  std::size_t pos = 0, seen = 0;
  while (pos < data.size()) {
    std::size_t end = data.find('\n', pos);
    if (end == std::string_view::npos) end = data.size();
    if (end > pos) {
      if (seen == index) return PyRef::steal(PyBytes_FromStringAndSize(data.data() + pos, static_cast<Py_ssize_t>(end - pos)));
      ++seen;
    }
    pos = end + 1;
  }
  return PyRef::borrow(Py_None);
}

// The non-blank lines of `data` at the ascending positions `at`, as bytes,
// found in one pass.
bool lines_at(std::string_view data, const std::vector<std::size_t>& at, std::vector<PyRef>& out) {
  out.reserve(at.size());
  std::size_t pos = 0, seen = 0, next = 0;
  while (pos < data.size() && next < at.size()) {
    std::size_t end = data.find('\n', pos);
    if (end == std::string_view::npos) end = data.size();
    if (end > pos) {
      if (seen == at[next]) {
        PyRef line = PyRef::steal(PyBytes_FromStringAndSize(data.data() + pos, static_cast<Py_ssize_t>(end - pos)));
        if (!line) return false;
        out.push_back(std::move(line));
        ++next;
      }
      ++seen;
    }
    pos = end + 1;
  }
  return true;
}

// Positional only: bound without keyword names.
constexpr std::array<Param, 2> kPairParams = {{{"before", ParamType::Any}, {"after", ParamType::Any}}};
constexpr Signature kPairResultLines = {"pair_result_lines()", kPairParams};

PyObject* pair_lines(PyObject* const* args, Py_ssize_t nargs) {
  std::array<BoundArg, 2> bound;
  if (!bind_arguments(kPairResultLines, args, nargs, nullptr, bound)) return nullptr;
  Held before, after;
  if (!before.take(bound[0].object, "before") || !after.take(bound[1].object, "after")) return nullptr;
  rp::ResultPairs pairs;
  // The buffers stay held; only their bytes are read.
  if (!run_unlocked([&] { pairs = rp::pair_results(before.text(), after.text()); }, "result pairing",
                    LengthError::AsInternalError)) {
    return nullptr;
  }
  std::vector<PyRef> b_lines, a_lines;
  if (!lines_at(before.text(), pairs.reported, b_lines) || !lines_at(after.text(), pairs.reported, a_lines)) {
    return nullptr;
  }
  PyRef reported = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pairs.reported.size())));
  if (!reported) return nullptr;
  for (std::size_t i = 0; i < pairs.reported.size(); ++i) {
    PyObject* item = Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(pairs.reported[i]), b_lines[i].get(),
                                   a_lines[i].get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(reported.get(), static_cast<Py_ssize_t>(i), item);
  }
  // The first line past the shorter stream, if the longer is the first.
  const std::size_t paired = pairs.before_lines < pairs.after_lines ? pairs.before_lines : pairs.after_lines;
  PyRef extra = pairs.before_lines > paired ? line_bytes(before.text(), paired) : PyRef::borrow(Py_None);
  if (!extra) return nullptr;
  return Py_BuildValue("(nnOO)", static_cast<Py_ssize_t>(pairs.before_lines),
                       static_cast<Py_ssize_t>(pairs.after_lines), reported.get(), extra.get());
}

PyObject* pair_result_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    return pair_lines(args, nargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef g_methods[] = {
    {"pair_result_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pair_result_lines)),
     METH_FASTCALL,
     "pair_result_lines(before, after, /) -> (int, int, list, bytes | None)\n--\n\n"
     "Two replays' result lines side by side: the number of lines of each, (position, before line, after line) "
     "for every pair whose line number, verdict or triggered rules may differ, and the first line of `before` "
     "past the end of `after` (None if there is none)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_result_pairs(PyObject* module) { return PyModule_AddFunctions(module, g_methods); }

}  // namespace korvanthel::tools
