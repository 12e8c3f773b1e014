// The three factories of PolicyEngine: a policy from a .zelvoc file, from
// .zelvoc bytes, or from bare JSON text; then the shared tail that wraps
// it in a new host object.
#include <sys/stat.h>

#include <array>
#include <string>
#include <string_view>

#include "host/arg_binder.h"
#include "container/container.h"
#include "engine_object.h"
#include "host/errors.h"
#include "model/json_decoder.h"

namespace korvanthel {
namespace {

constexpr std::array<Param, 1> kPathParams = {{{"path", ParamType::String}}};
constexpr std::array<Param, 1> kDataParams = {{{"data", ParamType::Bytes}}};
constexpr std::array<Param, 1> kJsonParams = {{{"json_str", ParamType::String}}};
constexpr Signature kFromFile = {"PolicyEngine.from_file()", kPathParams};
constexpr Signature kFromBytes = {"PolicyEngine.from_bytes()", kDataParams};
constexpr Signature kFromJson = {"PolicyEngine.from_json()", kJsonParams};

// True when the path names a file-system entry whose metadata can be read.
// A path with an embedded NUL names nothing the system could look up.
bool has_metadata(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return false;
  const std::string owned(path);
  struct stat info {};
  return ::stat(owned.c_str(), &info) == 0;
}

}  // namespace

PyObject* engine_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 1> bound;
    if (!bind_arguments(kFromFile, args, nargs, kwnames, bound)) return nullptr;
    const std::string_view path = bound[0].text;
    if (!has_metadata(path)) return raise_error(ErrorKind::FileNotFound, path);
    auto loaded = zelvo::load_policy_file(std::string(path));
    if (!loaded) return raise_error(ErrorKind::LoadFile, loaded.error().message());
    return new_engine_object(std::move(loaded).value());
  });
}

PyObject* engine_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 1> bound;
    if (!bind_arguments(kFromBytes, args, nargs, kwnames, bound)) return nullptr;
    auto loaded = zelvo::load_policy_bytes(bound[0].text);
    if (!loaded) return raise_error(ErrorKind::LoadBytes, loaded.error().message());
    return new_engine_object(std::move(loaded).value());
  });
}

PyObject* engine_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return at_boundary([&]() -> PyObject* {
    std::array<BoundArg, 1> bound;
    if (!bind_arguments(kFromJson, args, nargs, kwnames, bound)) return nullptr;
    auto parsed = zelvo::parse_policy_json(bound[0].text);
    if (!parsed) return raise_error(ErrorKind::InvalidJson, parsed.error().message());
    return new_engine_object(std::move(parsed).value());
  });
}

}  // namespace korvanthel
