// split_by_session: the lines of a piece of a trace dealt into parts by
// session, for a replay spread over several processes.
//
// Each non-blank line goes to the part its session hashes to (FNV-1a of
// the session as the replay keys it, so 1 and "1" are told apart, modulo
// the number of parts): every line of a session lands in the same part
// whichever piece of the trace it came from, so the parts of all pieces
// can be replayed part by part, each by its own replay. A line whose
// session cannot be read goes to part 0, where the replay reports it. The
// hash depends only on the session's bytes, never on the process.
//
// Cost: one pass of the event-line reader over each line (fields checked,
// not built) and one copy of the line; the lock is released meanwhile.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "event_lines.h"
#include "host/arg_binder.h"
#include "host_text.h"
#include "py_ref.h"
#include "replay/event_line.h"
#include "replay/trace_lines.h"
#include "unlocked_run.h"

namespace korvanthel::tools {
namespace {

namespace rp = zelvo::replay;

constexpr Py_ssize_t kMaxParts = 1 << 16;

std::uint64_t fnv1a(std::string_view text) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

// One part: its lines, each ending in '\n', and each line's number.
struct Part {
  std::string lines;
  std::vector<std::uint64_t> numbers;
};

void split(std::string_view data, const std::string& session_key, std::vector<Part>& parts) {
  rp::EventLineReader reader(session_key, /*borrow_strings=*/true, /*build_fields=*/false);
  rp::EventLine event;
  rp::TraceLines lines(data);
  rp::TraceLine line;
  while (lines.next(line)) {
    std::size_t to = 0;
    if (!session_key.empty() && reader.read(line.text, event)) to = fnv1a(event.session_key) % parts.size();
    Part& part = parts[to];
    part.lines.append(line.text);
    part.lines.push_back('\n');
    part.numbers.push_back(line.number);
  }
}

constexpr std::array<Param, 3> kSplitParams = {{
    {"data", ParamType::Any},
    {"parts", ParamType::Any},
    {"session_key", ParamType::Any, false},
}};
constexpr Signature kSplitBySession = {"split_by_session()", kSplitParams, 1};

PyObject* split_by_session(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 3> bound;
  if (!bind_keyword_only_arguments(kSplitBySession, args, nargs, kwnames, bound)) return nullptr;
  PyObject* data = bound[0].object;
  PyObject* key_obj = bound[2].object == nullptr ? Py_None : bound[2].object;
  if (!PyBytes_Check(data)) {
    return PyErr_Format(PyExc_TypeError, "argument 'data' must be bytes, not %.200s", Py_TYPE(data)->tp_name);
  }
  const Py_ssize_t count = PyNumber_AsSsize_t(bound[1].object, PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  if (count < 1 || count > kMaxParts) return PyErr_Format(PyExc_ValueError, "parts must be from 1 to %zd", kMaxParts);
  std::string session_key;
  if (key_obj != Py_None) {
    std::string_view key;
    if (!str_argument(key_obj, "session_key", key)) return nullptr;
    session_key.assign(key);
  }
  PyRef held = PyRef::borrow(data);
  const std::string_view text(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  std::vector<Part> parts;
  if (!run_unlocked([&] {
        parts.resize(static_cast<std::size_t>(count));
        split(text, session_key, parts);
      }, "session split", LengthError::AsInternalError)) {
    return nullptr;
  }
  PyRef out = PyRef::steal(PyList_New(count));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Part& part = parts[static_cast<std::size_t>(i)];
    PyRef lines = PyRef::steal(PyBytes_FromStringAndSize(part.lines.data(), static_cast<Py_ssize_t>(part.lines.size())));
    PyRef numbers = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(part.numbers.data()),
                                                           static_cast<Py_ssize_t>(part.numbers.size() * sizeof(std::uint64_t))));
    if (!lines || !numbers) return nullptr;
    PyObject* pair = PyTuple_Pack(2, lines.get(), numbers.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), i, pair);
  }
  return out.release();
}

PyMethodDef g_functions[] = {
    bound_method("split_by_session", split_by_session,
     "split_by_session(data, parts, *, session_key=None) -> list[tuple[bytes, bytes]]\n--\n\n"
     "The non-blank lines of data dealt into `parts` parts by the hash of their session: for each part, "
     "its lines (each ending in a line feed) and their 1-based positions in data as native-endian "
     "unsigned 64-bit integers. Without a session key every line goes to part 0."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_session_split(PyObject* module) { return PyModule_AddFunctions(module, g_functions); }

}  // namespace korvanthel::tools
