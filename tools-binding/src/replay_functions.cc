// Replay in event time from Python: replay_lines, replay_file, parse_ts and
// EventLineError (add_replay).
//
// Arguments are read with the interpreter lock held; the replay itself (the
// policy's decoding, every line, every engine, the result lines) touches no
// host object and runs with the lock released, so replays in several
// threads run in parallel. The trace's bytes are held (bytes are immutable;
// other buffers are held exported) for the whole call, since field texts
// are read in place. A C++ exception never escapes: memory exhaustion
// becomes MemoryError.
#define PY_SSIZE_T_CLEAN
#include <array>
#include <Python.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "container/container.h"
#include "engine/clock.h"
#include "event_lines.h"
#include "host/arg_binder.h"
#include "host/host.h"
#include "host_text.h"
#include "model/json_decoder.h"
#include "parts.h"
#include "policy_arg.h"
#include "py_ref.h"
#include "replay/json_scan.h"
#include "replay/replay.h"
#include "replay/timestamp.h"
#include "replay_parts.h"
#include "unlocked_run.h"

namespace korvanthel::tools {
namespace {

namespace rp = zelvo::replay;

constexpr const char* kErrorName = "EventLineError";

// Runs `work` without the interpreter lock; false (MemoryError set) when it
// ran out of memory.
template <typename F>
bool without_lock(F&& work) {
  return run_unlocked(std::forward<F>(work), "replay", LengthError::AsInternalError);
}

// A str argument's UTF-8 text, copied into `out`.
bool utf8_of(PyObject* obj, const char* name, std::string& out) {
  std::string_view text;
  if (!str_argument(obj, name, text)) return false;
  out.assign(text);
  return true;
}

// Decodes the policy (lock released) through the one loader; sets the
// exception on failure.
std::optional<zelvo::CompiledPolicy> load_policy(PyObject* module, const PolicyArg& src) {
  std::optional<zelvo::CompiledPolicy> policy;
  std::optional<zelvo::lang::PolicyLoadError> error;
  if (!without_lock([&] {
        auto r = load_policy_arg(src, "<policy>");
        if (r) policy.emplace(std::move(r.value().policy)); else error.emplace(std::move(r.error()));
      })) {
    return std::nullopt;
  }
  if (error) raise_policy_load_error(module, *error);
  return policy;
}

// Context or config values into `out`: a dict of host values (converted
// as set_context converts them), or a JSON object's text.
bool read_values_arg(PyObject* obj, const char* name, zelvo::ValueMap& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (PyDict_Check(obj)) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      std::string_view text;
      if (!str_argument(key, name, text)) return false;
      zelvo::Value converted;
      if (!value_from_host(value, converted)) return false;
      out.insert_or_assign(zelvo::Str(text), std::move(converted));
    }
    return true;
  }
  std::string text;
  if (!utf8_of(obj, name, text)) return false;
  rp::JsonScanner scanner(/*borrow_strings=*/false);
  scanner.reset(text);
  rp::JsonKind kind;
  bool ok = scanner.peek_kind(kind);
  if (ok && kind != rp::JsonKind::Object) {
    PyErr_Format(PyExc_ValueError, "%s must be a JSON object, found %s", name, rp::kind_phrase(kind));
    return false;
  }
  ok = ok && scanner.object(out, 0) && scanner.end();
  if (!ok) {
    PyErr_Format(PyExc_ValueError, "%s: %s", name, rp::describe(scanner.error()).c_str());
    return false;
  }
  return true;
}

// The files a trace was joined from: (name, first line) pairs in order.
bool read_files(PyObject* obj, rp::TraceFiles& out) {
  if (obj == nullptr || obj == Py_None) return true;
  PyRef seq = PyRef::steal(PySequence_Fast(obj, "argument 'files': expected a sequence of (str, int) pairs"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    std::string_view name;
    unsigned long long first = 0;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0))) {
      PyErr_Format(PyExc_TypeError, "files[%zd] is not a (str, int) pair", i);
      return false;
    }
    if (!str_argument(PyTuple_GET_ITEM(item, 0), "files", name)) return false;
    first = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(item, 1));
    if (first == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Format(PyExc_ValueError, "files[%zd]: the first line is not a line number (an int from 0)", i);
      return false;
    }
    if (!out.add(std::string(name), first)) {
      PyErr_Format(PyExc_ValueError, "files[%zd]: first lines must not decrease", i);
      return false;
    }
  }
  return true;
}

bool read_session_key(PyObject* obj, std::string& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!utf8_of(obj, "session_key", out)) return false;
  for (const char* reserved : {"", "type", "fields", "ts", "expect", "comment"}) {
    if (out == reserved) {
      PyErr_Format(PyExc_ValueError, "session_key must name a key of its own, not %R", obj);
      return false;
    }
  }
  return true;
}

bool read_line_numbers(PyObject* obj, std::optional<std::vector<std::uint64_t>>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  PyRef seq = PyRef::steal(PySequence_Fast(obj, "argument 'line_numbers': expected a sequence of int"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out.emplace();
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Format(PyExc_ValueError, "line_numbers[%zd] is not a line number (an int from 0)", i);
      return false;
    }
    out->push_back(v);
  }
  return true;
}

bool read_start_ms(PyObject* obj, std::uint64_t& out) {
  if (obj == nullptr || obj == Py_None) {
    out = zelvo::wall_clock_ms();
    return true;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (v > rp::kMaxTimeMs) {
    PyErr_SetString(PyExc_ValueError, "start_ms must be at most 2**63-1");
    return false;
  }
  out = v;
  return true;
}

// Everything but the trace itself.
struct Call {
  PolicyArg policy;
  std::optional<PolicyArg> against;  // the second policy of a comparison
  rp::ReplayOptions options;
  std::optional<std::vector<std::uint64_t>> line_numbers;
  std::optional<std::string> out_path;
  std::optional<std::size_t> examples;  // with against: group the differences, keeping this many examples each
};

// Reads the keyword options shared by replay_lines and replay_file.
bool read_options(PyObject* session_key, int sort, int strict, PyObject* context, PyObject* config,
                  PyObject* line_numbers, PyObject* out, PyObject* start_ms, PyObject* files, Call& call) {
  call.options.sort = sort != 0;
  call.options.strict = strict != 0;
  if (!read_session_key(session_key, call.options.session_key) ||
      !read_values_arg(context, "context", call.options.context) ||
      !read_values_arg(config, "config", call.options.config) || !read_line_numbers(line_numbers, call.line_numbers) ||
      !read_start_ms(start_ms, call.options.start_ms) || !read_files(files, call.options.files)) {
    return false;
  }
  if (out != nullptr && out != Py_None) {
    PyObject* bytes_path = nullptr;
    if (!PyUnicode_FSConverter(out, &bytes_path)) return false;
    PyRef held = PyRef::steal(bytes_path);
    call.out_path.emplace(PyBytes_AS_STRING(bytes_path), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_path)));
  }
  return true;
}

// Result lines kept in memory as the chunks the replay hands over, copied
// once more only into the bytes object (no copies as a buffer grows).
class BufferSink final : public rp::ResultSink {
 public:
  bool write(std::string_view lines) override {
    texts_.emplace_back().raw(lines);
    size_ += lines.size();
    return true;
  }
  // Keeps the replay's text as it is; the replay starts a new one.
  bool take(rp::ResultText& lines) override {
    size_ += lines.size();
    texts_.push_back(std::move(lines));
    lines = rp::ResultText();
    return true;
  }
  PyObject* to_bytes() const {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size_));
    if (bytes == nullptr) return nullptr;
    char* w = PyBytes_AS_STRING(bytes);
    for (const rp::ResultText& text : texts_) {
      if (text.size() == 0) continue;
      std::memcpy(w, text.view().data(), text.size());
      w += text.size();
    }
    return bytes;
  }

 private:
  std::vector<rp::ResultText> texts_;
  std::size_t size_ = 0;
};

class FileSink final : public rp::ResultSink {
 public:
  explicit FileSink(std::FILE* f) noexcept : file_(f) {}
  bool write(std::string_view lines) override {
    if (std::fwrite(lines.data(), 1, lines.size(), file_) == lines.size()) return true;
    error = errno;
    return false;
  }
  int error = 0;

 private:
  std::FILE* file_;
};

PyObject* decoded(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Raises EventLineError("line N: problem", or "FILE:N: problem" when the
// trace names its files) with .line, .file (None without files) and .problem;
// .code and .key are None (they belong to a single line's reading).
void raise_line_error(PyObject* module, const rp::ReplayStop& stop, bool named) {
  PyRef type = PyRef::steal(PyObject_GetAttrString(module, kErrorName));
  if (!type) return;
  const std::string where = named ? stop.file + ":" + std::to_string(stop.line) : "line " + std::to_string(stop.line);
  PyRef message = PyRef::steal(decoded(where + ": " + stop.message));
  if (!message) return;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type.get(), message.get()));
  if (!exc) return;
  PyRef line_obj = PyRef::steal(PyLong_FromUnsignedLongLong(stop.line));
  PyRef file_obj = named ? PyRef::steal(decoded(stop.file)) : PyRef::borrow(Py_None);
  PyRef problem_obj = PyRef::steal(decoded(stop.message));
  if (!line_obj || !file_obj || !problem_obj || PyObject_SetAttrString(exc.get(), "line", line_obj.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "file", file_obj.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "problem", problem_obj.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "code", Py_None) < 0 || PyObject_SetAttrString(exc.get(), "key", Py_None) < 0) {
    return;
  }
  PyErr_SetObject(type.get(), exc.get());
}

// Replays `data` and builds the result dict (lock released while it runs).
PyObject* run(PyObject* module, Call& call, std::string_view data) {
  std::optional<zelvo::CompiledPolicy> policy = load_policy(module, call.policy);
  if (!policy) return nullptr;
  std::optional<zelvo::CompiledPolicy> against;
  if (call.against) {
    against = load_policy(module, *call.against);
    if (!against) return nullptr;
  }
  const zelvo::CompiledPolicy* second = against ? &*against : nullptr;
  rp::ReplaySummary summary;
  rp::ReplayStop stop;
  std::optional<rp::ChangeGroups> changes;
  if (call.examples) changes.emplace(*call.examples);
  rp::ChangeGroups* groups = changes ? &*changes : nullptr;
  BufferSink memory;
  int open_errno = 0;
  int sink_errno = 0;
  std::optional<std::span<const std::uint64_t>> numbers;
  if (call.line_numbers) numbers = std::span<const std::uint64_t>(*call.line_numbers);
  if (!without_lock([&] {
        if (!call.out_path) {
          stop = rp::replay_trace(*policy, call.options, data, numbers, memory, summary, second, groups);
          return;
        }
        std::FILE* f = std::fopen(call.out_path->c_str(), "wb");
        if (f == nullptr) {
          open_errno = errno;
          return;
        }
        FileSink file(f);
        stop = rp::replay_trace(*policy, call.options, data, numbers, file, summary, second, groups);
        sink_errno = file.error;
        if (std::fclose(f) != 0 && sink_errno == 0 && !stop) sink_errno = errno;
      })) {
    return nullptr;
  }
  if (open_errno != 0 || sink_errno != 0) {
    errno = open_errno != 0 ? open_errno : sink_errno;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, call.out_path->c_str());
  }
  switch (stop.kind) {
    case rp::ReplayStop::Kind::None: break;
    case rp::ReplayStop::Kind::StrictBadLine:
    case rp::ReplayStop::Kind::TimeBackwards: raise_line_error(module, stop, !call.options.files.empty()); return nullptr;
    case rp::ReplayStop::Kind::LineNumbers:
      PyErr_Format(PyExc_ValueError, "line_numbers: %s", stop.message.c_str());
      return nullptr;
    case rp::ReplayStop::Kind::Sink: break;  // reported above
  }
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return nullptr;
  PyRef results = call.out_path ? PyRef::borrow(Py_None) : PyRef::steal(memory.to_bytes());
  if (!results || PyDict_SetItemString(result.get(), "results", results.get()) < 0) return nullptr;
  PyRef host_summary = PyRef::steal(summary_to_host(summary, call.options.files));
  if (!host_summary || PyDict_SetItemString(result.get(), "summary", host_summary.get()) < 0) return nullptr;
  if (changes) {
    PyRef groups_obj = PyRef::steal(changes_to_host(*changes));
    if (!groups_obj || PyDict_SetItemString(result.get(), "changes", groups_obj.get()) < 0) return nullptr;
    const std::string_view lines = changes->lines();
    PyRef records = PyRef::steal(PyBytes_FromStringAndSize(lines.data(), static_cast<Py_ssize_t>(lines.size())));
    if (!records || PyDict_SetItemString(result.get(), "records", records.get()) < 0) return nullptr;
  }
  return result.release();
}

// (policy, <second>, *, session_key, sort, strict, context, config,
// line_numbers, out, start_ms, files, against, examples): replay_lines and
// replay_file differ only in their second parameter.
constexpr std::array<Param, 13> replay_params(const char* second) {
  return {{{"policy", ParamType::Any}, {second, ParamType::Any}, {"session_key", ParamType::Any, false},
           {"sort", ParamType::Any, false}, {"strict", ParamType::Any, false}, {"context", ParamType::Any, false},
           {"config", ParamType::Any, false}, {"line_numbers", ParamType::Any, false}, {"out", ParamType::Any, false},
           {"start_ms", ParamType::Any, false}, {"files", ParamType::Any, false}, {"against", ParamType::Any, false},
           {"examples", ParamType::Any, false}}};
}
using ReplayArgs = std::array<BoundArg, 13>;
constexpr std::array<Param, 13> kReplayLinesParams = replay_params("data");
constexpr std::array<Param, 13> kReplayFileParams = replay_params("path");
constexpr Signature kReplayLines = {"replay_lines()", kReplayLinesParams, 11};
constexpr Signature kReplayFile = {"replay_file()", kReplayFileParams, 11};

// Reads the arguments of replay_lines and replay_file: the policy, the
// second positional argument (returned in `second`, unchecked) and the
// keyword options, into `call`. False with an exception set.
bool read_replay_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject*& second, Call& call) {
  ReplayArgs a;
  if (!bind_keyword_only_arguments(sig, args, nargs, kwnames, a)) return false;
  second = a[1].object;
  bool sort = false;
  bool strict = false;
  if (!flag_argument(a[3].object, sort) || !flag_argument(a[4].object, strict)) return false;
  PyObject* against = a[11].object;
  if (against != nullptr && against != Py_None && !read_policy_arg(against, call.against.emplace())) return false;
  PyObject* examples = a[12].object;
  if (examples != nullptr && examples != Py_None) {
    if (!call.against) {
      PyErr_SetString(PyExc_ValueError, "examples needs against (a second policy)");
      return false;
    }
    const Py_ssize_t n = PyNumber_AsSsize_t(examples, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 0) {
      PyErr_SetString(PyExc_ValueError, "examples must be at least 0");
      return false;
    }
    call.examples = static_cast<std::size_t>(n);
  }
  return read_policy_arg(a[0].object, call.policy) &&
         read_options(a[2].object, sort, strict, a[5].object, a[6].object, a[7].object, a[8].object, a[9].object,
                      a[10].object, call);
}

PyObject* replay_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* data = nullptr;
  Call call;
  if (!read_replay_args(kReplayLines, args, nargs, kwnames, data, call)) return nullptr;
  if (PyBytes_Check(data)) {
    PyRef held = PyRef::borrow(data);
    return run(module, call, std::string_view(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data))));
  }
  Py_buffer view;
  if (PyUnicode_Check(data) || PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument 'data': expected bytes, got '%s'", Py_TYPE(data)->tp_name);
    return nullptr;
  }
  PyObject* r = run(module, call, std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
  PyBuffer_Release(&view);
  return r;
}

// A file's bytes, mapped read-only for the time of one call.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data_ != nullptr && data_ != MAP_FAILED) munmap(data_, size_);
  }
  // errno on failure, 0 on success.
  int open(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0) {
      err = errno;
    } else if (S_ISDIR(st.st_mode)) {
      err = EISDIR;
    } else if (st.st_size > 0) {
      size_ = static_cast<std::size_t>(st.st_size);
      data_ = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (data_ == MAP_FAILED) {
        err = errno;
        data_ = nullptr;
      } else {
        madvise(data_, size_, MADV_SEQUENTIAL);
      }
    }
    ::close(fd);
    return err;
  }
  std::string_view view() const noexcept { return data_ ? std::string_view(static_cast<const char*>(data_), size_) : ""; }

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

PyObject* replay_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* path = nullptr;
  Call call;
  if (!read_replay_args(kReplayFile, args, nargs, kwnames, path, call)) return nullptr;
  PyObject* bytes_path = nullptr;
  if (!PyUnicode_FSConverter(path, &bytes_path)) return nullptr;
  PyRef held = PyRef::steal(bytes_path);
  MappedFile file;
  int err = 0;
  Py_BEGIN_ALLOW_THREADS
  err = file.open(PyBytes_AS_STRING(bytes_path));
  Py_END_ALLOW_THREADS
  if (err != 0) {
    errno = err;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  }
  return run(module, call, file.view());
}

PyObject* parse_ts(PyObject*, PyObject* arg) {
  std::uint64_t ms = 0;
  const HostTs found = read_host_ts(arg, /*texts=*/true, ms);
  if (found == HostTs::Ok) return PyLong_FromUnsignedLongLong(ms);
  if (found != HostTs::NotTime) return raise_bad_ts(found, arg, "ts");
  return PyErr_Format(PyExc_TypeError, "ts must be an int or a str, not '%s'", Py_TYPE(arg)->tp_name);
}

PyMethodDef g_methods[] = {
    bound_method("replay_lines", replay_lines,
     "replay_lines(policy, data, *, session_key=None, sort=False, strict=False, context=None, config=None, "
     "line_numbers=None, out=None, start_ms=None, files=None, against=None, examples=None) -> dict\n--\n\n"
     "Replays JSON lines of events in event time, one engine per session. context and config: a dict "
     "or a JSON object's text. files: (name, first line) pairs naming each line by its file. against: a "
     "second policy; each line is then read once and evaluated by both, and only the events they decide "
     "differently are written, as two result lines each (policy, then against). examples (with against): "
     "the differing events are also grouped by change, keeping this many examples of each, under "
     "\"changes\", and written as one compact JSON record each under \"records\"."),
    bound_method("replay_file", replay_file,
     "replay_file(policy, path, *, session_key=None, sort=False, strict=False, context=None, config=None, "
     "line_numbers=None, out=None, start_ms=None, files=None, against=None, examples=None) -> dict\n--\n\n"
     "replay_lines over the bytes of a file."),
    {"parse_ts", parse_ts, METH_O,
     "parse_ts(ts, /) -> int\n--\n\nMilliseconds since 1970 of an event's ts (an int or an RFC 3339 text)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_replay(PyObject* module) {
  if (PyModule_AddFunctions(module, g_methods) < 0) return -1;
  PyRef error = PyRef::steal(PyErr_NewExceptionWithDoc(
      "korvanthel_tools._native.EventLineError",
      "A line of an event trace that a strict replay refused: .line is its number, .problem what is wrong.",
      PyExc_ValueError, nullptr));
  if (!error || PyModule_AddObjectRef(module, kErrorName, error.get()) < 0) return -1;
  if (add_result_pairs(module) < 0) return -1;
  return add_replayer(module);
}

}  // namespace korvanthel::tools
