#include "event_lines.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "host/arg_binder.h"
#include "host/errors.h"
#include "host/value_to_host.h"
#include "host_text.h"
#include "parts.h"
#include "py_ref.h"
#include "replay/event_line.h"
#include "replay/result_line.h"
#include "replay/timestamp.h"

namespace korvanthel::tools {
namespace {

namespace rp = zelvo::replay;

constexpr const char* kErrorName = "EventLineError";

// The kind of problem, for callers that word their own messages.
const char* code_name(rp::LineErrc code) noexcept {
  switch (code) {
    case rp::LineErrc::NotAnObject: return "not_object";
    case rp::LineErrc::MissingType: return "missing_type";
    case rp::LineErrc::TypeNotString: return "type";
    case rp::LineErrc::FieldsNotObject: return "fields";
    case rp::LineErrc::UnknownKey: return "unknown_key";
    case rp::LineErrc::RepeatedKey: return "repeated_key";
    case rp::LineErrc::TsNotTime: return "ts";
    case rp::LineErrc::TsBadNumber: return "ts_number";
    case rp::LineErrc::TsBadText: return "ts_text";
    case rp::LineErrc::BadExpect: return "expect";
    case rp::LineErrc::MissingSession: return "missing_session";
    case rp::LineErrc::SessionNotKey: return "session";
    case rp::LineErrc::TimeBackwards: return "time_backwards";
    default: return "json";
  }
}

PyRef text_obj(std::string_view text) {
  return PyRef::steal(made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
}

// Raises EventLineError(problem) with .line and .file None, .problem, .code and .key
// (the key of an unknown or repeated key, else None).
PyObject* raise_line_error(PyObject* module, const rp::LineError& error) {
  PyRef type = PyRef::steal(PyObject_GetAttrString(module, kErrorName));
  if (!type) return nullptr;
  const std::string problem = rp::describe(error);
  PyRef message = text_obj(problem);
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type.get(), message.get()));
  if (!exc) return nullptr;
  const bool keyed = error.code == rp::LineErrc::UnknownKey || error.code == rp::LineErrc::RepeatedKey;
  PyRef code = PyRef::steal(made(PyUnicode_FromString(code_name(error.code))));
  PyRef key = keyed ? text_obj(error.text) : PyRef::borrow(Py_None);
  if (PyObject_SetAttrString(exc.get(), "line", Py_None) < 0 ||
      PyObject_SetAttrString(exc.get(), "file", Py_None) < 0 ||
      PyObject_SetAttrString(exc.get(), "problem", message.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "code", code.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "key", key.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(type.get(), exc.get());
  return nullptr;
}

bool set(PyObject* dict, const char* key, PyRef value) {
  return PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The session as the line wrote it: a str, or an int for an integer.
PyRef session_obj(const rp::EventLine& line) {
  if (line.session_key.empty() || line.session_key.front() != '\xFF') return text_obj(line.session);
  const std::string digits(line.session);
  return PyRef::steal(made(PyLong_FromString(digits.c_str(), nullptr, 10)));
}

constexpr std::array<Param, 4> kReadEventLineParams = {{
    {"line", ParamType::Any},
    {"session_key", ParamType::Any, false},
    {"extra_keys", ParamType::Any, false},
    {"require_type", ParamType::Any, false},
}};
constexpr Signature kReadEventLine = {"read_event_line()", kReadEventLineParams, 3};

PyObject* read_event_line(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 4> bound;
  if (!bind_keyword_only_arguments(kReadEventLine, args, nargs, kwnames, bound)) return nullptr;
  PyObject* line = bound[0].object;
  PyObject* session_key = bound[1].object == nullptr ? Py_None : bound[1].object;
  PyObject* extra_keys = bound[2].object;
  bool require_type = true;
  if (bound[3].object != nullptr && !flag_argument(bound[3].object, require_type)) return nullptr;
  return korvanthel::at_boundary([&]() -> PyObject* {
    std::string_view text;
    if (!text_argument(line, "line", text)) return nullptr;
    std::string_view key;
    if (session_key != Py_None && !str_argument(session_key, "session_key", key)) return nullptr;
    std::vector<std::string> extras;
    if (extra_keys != nullptr) {
      PyRef seq = PyRef::steal(PySequence_Fast(extra_keys, "argument 'extra_keys' must be a sequence of str"));
      if (!seq) return nullptr;
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
      if (static_cast<std::size_t>(n) > rp::EventLineReader::kMaxExtraKeys) {
        return PyErr_Format(PyExc_ValueError, "at most %zu extra keys", rp::EventLineReader::kMaxExtraKeys);
      }
      for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view k;
        if (!str_argument(PySequence_Fast_GET_ITEM(seq.get(), i), "extra_keys", k)) return nullptr;
        if (k == key) return PyErr_Format(PyExc_ValueError, "extra key %R is the session key", session_key);
        extras.emplace_back(k);
      }
    }
    rp::EventLineReader reader{std::string(key), /*borrow_strings=*/false};
    reader.read_extra_keys(extras);
    reader.allow_missing_type(!require_type);
    rp::EventLine event;
    if (!reader.read(text, event)) return raise_line_error(module, reader.error());

    PyRef out = PyRef::steal(made(PyDict_New()));
    PyRef type = event.has_type ? PyRef::steal(made(PyUnicode_DecodeUTF8(event.event.event_type.data(),
                                                                        static_cast<Py_ssize_t>(event.event.event_type.size()),
                                                                        nullptr)))
                                : PyRef::borrow(Py_None);
    PyRef ts = event.ts ? PyRef::steal(made(PyLong_FromUnsignedLongLong(*event.ts))) : PyRef::borrow(Py_None);
    PyRef expect = event.expect ? text_obj(rp::verdict_text(*event.expect)) : PyRef::borrow(Py_None);
    PyRef session = key.empty() ? PyRef::borrow(Py_None) : session_obj(event);
    if (!set(out.get(), "type", std::move(type)) || !set(out.get(), "fields", korvanthel::map_to_host(event.event.fields)) ||
        !set(out.get(), "ts", std::move(ts)) || !set(out.get(), "expect", std::move(expect)) ||
        !set(out.get(), "session", std::move(session))) {
      return nullptr;
    }
    for (const auto& [index, value] : event.extra) {
      if (!set(out.get(), extras[index].c_str(), korvanthel::value_to_host(value))) return nullptr;
    }
    return out.release();
  });
}

PyMethodDef g_functions[] = {
    bound_method("read_event_line", read_event_line,
     "read_event_line(line, /, *, session_key=None, extra_keys=(), require_type=True) -> dict\n--\n\n"
     "One event line (str or bytes) read as the replay reads it: a dict with 'type', 'fields' (a dict), "
     "'ts' (milliseconds or None), 'expect' (a lower-case verdict or None), 'session' (str, int or None) "
     "and each extra key present. Raises EventLineError (.problem, .code, .key) for a line the replay "
     "would refuse."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

HostTs read_host_ts(PyObject* obj, bool texts, std::uint64_t& out) {
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return HostTs::BadNumber;
    }
    const auto ms = rp::event_time_of_integer(v);
    if (!ms) return HostTs::BadNumber;
    out = *ms;
    return HostTs::Ok;
  }
  if (!texts || !PyUnicode_Check(obj)) return HostTs::NotTime;
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) {
    PyErr_Clear();
    return HostTs::BadText;
  }
  const auto ms = rp::event_time_of_text(std::string_view(s, static_cast<std::size_t>(n)));
  if (!ms) return HostTs::BadText;
  out = *ms;
  return HostTs::Ok;
}

PyObject* raise_bad_ts(HostTs found, PyObject* obj, const char* name) {
  if (found == HostTs::BadText) {
    return PyErr_Format(PyExc_ValueError,
                        "%s %R is not an RFC 3339 time at or after 1970 (e.g. 2024-05-01T12:00:00Z)", name, obj);
  }
  return PyErr_Format(PyExc_ValueError, "%s %R is not a whole number of milliseconds from 0 to 9223372036854775807",
                      name, obj);
}

int add_event_lines(PyObject* module) {
  if (PyModule_AddFunctions(module, g_functions) < 0) return -1;
  return add_session_split(module);
}

}  // namespace korvanthel::tools
