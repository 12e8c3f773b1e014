// The policy language from Python: compile, format, print and check.
//
// Every function reads its arguments, releases the interpreter lock while
// the compiler, printer or checker runs (they touch no host object), and
// converts the outcome. Source text may be str or bytes (bytes are read as
// they are, so the compiler reports invalid UTF-8 at its place). A C++
// exception never escapes: memory exhaustion becomes MemoryError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "check/check.h"
#include "compiler.h"
#include "load/policy_loader.h"
#include "container/container.h"
#include "diagnostic_objects.h"
#include "emit/container_writer.h"
#include "emit/format_source.h"
#include "emit/policy_json.h"
#include "emit/printer.h"
#include "host/arg_binder.h"
#include "host_text.h"
#include "model/json_decoder.h"
#include "module_state.h"
#include "parts.h"
#include "py_ref.h"
#include "unlocked_run.h"

namespace korvanthel::tools {

namespace {

using zelvo::lang::CompileResult;

constexpr const char* kDefaultFilename = "<source>";

// Runs `work` without the interpreter lock; a C++ exception it throws is
// turned into a host exception (returns false then).
template <typename F>
bool run_unlocked(F&& work) {
  return tools::run_unlocked(std::forward<F>(work), "policy compiler", LengthError::AsValueError);
}

PyObject* str_of(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

// (source, filename="<source>", ...): the first two parameters of the
// functions that read a source.
constexpr Param kSource = {"source", ParamType::Any};
constexpr Param kFilename = {"filename", ParamType::String, false};
constexpr Param kIndent = {"indent", ParamType::Any, false};
constexpr Param kPolicy = {"policy", ParamType::Any};
constexpr std::array<Param, 2> kSourceParams = {{kSource, kFilename}};
constexpr std::array<Param, 3> kSourceJsonParams = {{kSource, kFilename, kIndent}};
constexpr std::array<Param, 3> kCheckParams = {{kSource, kFilename, {"schema", ParamType::Any, false}}};
constexpr std::array<Param, 1> kSourceOnly = {{kSource}};
constexpr std::array<Param, 1> kPolicyParams = {{kPolicy}};
constexpr std::array<Param, 2> kPolicyJsonParams = {{kPolicy, kIndent}};
constexpr Signature kCompilePolicy = {"compile_policy()", kSourceParams};
constexpr Signature kCompilePolicyJson = {"compile_policy_json()", kSourceJsonParams, 1};
constexpr Signature kFormatSource = {"format_source()", kSourceParams};
constexpr Signature kPrintPolicy = {"print_policy()", kPolicyParams};
constexpr Signature kCanonicalPolicyJson = {"canonical_policy_json()", kPolicyJsonParams, 1};
constexpr Signature kCheckPolicy = {"check_policy()", kCheckParams};
constexpr Signature kSourceHash = {"source_hash()", kSourceOnly};

struct SourceArgs {
  std::string_view source;
  std::string_view filename = kDefaultFilename;
};

// Binds the call to `sig` (whose first parameters are source and filename)
// into `bound`, and reads the source's text and the file name.
template <std::size_t N>
bool read_source_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      std::array<BoundArg, N>& bound, SourceArgs& out) {
  if (!bind_keyword_only_arguments(sig, args, nargs, kwnames, bound)) return false;
  if (!text_argument(bound[0].object, "source", out.source)) return false;
  if (bound[1].object != nullptr) out.filename = bound[1].text;
  return true;
}

// Compiles (without a source map: the callers want only the model's JSON);
// sets CompileError (and returns nullopt) when the source has errors.
std::optional<CompileResult> compile_or_raise(PyObject* module, const SourceArgs& a) {
  CompileResult r;
  zelvo::lang::CompileOptions options;
  options.source_map = false;
  if (!run_unlocked([&] { r = zelvo::lang::compile(a.source, a.filename, options); })) return std::nullopt;
  if (!r.policy) {
    raise_compile_error(state_of(module), r.diagnostics);
    return std::nullopt;
  }
  return r;
}

PyObject* compile_policy(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 2> bound;
  SourceArgs a;
  if (!read_source_args(kCompilePolicy, args, nargs, kwnames, bound, a)) return nullptr;
  std::optional<CompileResult> r = compile_or_raise(module, a);
  if (!r) return nullptr;
  std::string container;
  if (!run_unlocked([&] { container = zelvo::lang::write_container(zelvo::lang::write_policy_json(*r->policy)); })) {
    return nullptr;
  }
  return PyBytes_FromStringAndSize(container.data(), static_cast<Py_ssize_t>(container.size()));
}

PyObject* compile_policy_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 3> bound;
  SourceArgs a;
  bool indent = false;
  if (!read_source_args(kCompilePolicyJson, args, nargs, kwnames, bound, a)) return nullptr;
  if (!flag_argument(bound[2].object, indent)) return nullptr;
  std::optional<CompileResult> r = compile_or_raise(module, a);
  if (!r) return nullptr;
  std::string json;
  const auto layout = indent ? zelvo::lang::JsonLayout::Indented : zelvo::lang::JsonLayout::Compact;
  if (!run_unlocked([&] { json = zelvo::lang::write_policy_json(*r->policy, layout); })) return nullptr;
  return str_of(json);
}

PyObject* format_source(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 2> bound;
  SourceArgs a;
  if (!read_source_args(kFormatSource, args, nargs, kwnames, bound, a)) return nullptr;
  zelvo::lang::FormatResult r;
  if (!run_unlocked([&] { r = zelvo::lang::format_source(a.source, a.filename); })) return nullptr;
  if (!r.text) return raise_compile_error(state_of(module), r.diagnostics);
  return str_of(*r.text);
}

// Loads a compiled policy given as JSON text (str or bytes) or as container
// bytes (recognised by the magic) and returns `render(policy)`; a policy
// that does not load raises ValueError with the loader's message.
template <typename Render>
PyObject* with_loaded_policy(PyObject* policy, Render render) {
  std::string_view data;
  bool is_bytes = false;
  if (!text_argument(policy, "policy", data, &is_bytes)) return nullptr;
  std::string out;
  std::string error;
  const bool container = is_bytes && data.size() >= 4 && static_cast<unsigned char>(data[0]) == 0xAE &&
                         static_cast<unsigned char>(data[1]) == 0x91 && static_cast<unsigned char>(data[2]) == 0x5C &&
                         static_cast<unsigned char>(data[3]) == 0x01;
  const bool ok = run_unlocked([&] {
    if (container) {
      auto loaded = zelvo::load_policy_bytes(data);
      if (loaded) {
        out = render(loaded.value());
      } else {
        error = loaded.error().message();
      }
      return;
    }
    auto decoded = is_bytes ? zelvo::parse_policy_json_bytes(data) : zelvo::parse_policy_json(data);
    if (decoded) {
      out = render(decoded.value());
    } else {
      error = decoded.error().message();
    }
  });
  if (!ok) return nullptr;
  if (!error.empty()) {
    PyRef message = PyRef::steal(str_of(error));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  return str_of(out);
}

PyObject* print_policy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 1> bound;
  if (!bind_arguments(kPrintPolicy, args, nargs, kwnames, bound)) return nullptr;
  return with_loaded_policy(bound[0].object, [](const zelvo::CompiledPolicy& p) { return zelvo::lang::print_source(p); });
}

PyObject* canonical_policy_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 2> bound;
  bool indent = false;
  if (!bind_keyword_only_arguments(kCanonicalPolicyJson, args, nargs, kwnames, bound)) return nullptr;
  if (!flag_argument(bound[1].object, indent)) return nullptr;
  const auto layout = indent ? zelvo::lang::JsonLayout::Indented : zelvo::lang::JsonLayout::Compact;
  return with_loaded_policy(bound[0].object,
                            [layout](const zelvo::CompiledPolicy& p) { return zelvo::lang::write_policy_json(p, layout); });
}

PyObject* check_policy(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 3> bound;
  SourceArgs a;
  if (!read_source_args(kCheckPolicy, args, nargs, kwnames, bound, a)) return nullptr;
  PyObject* schema = bound[2].object;
  std::string_view schema_text;
  const bool has_schema = schema != nullptr && schema != Py_None;
  if (has_schema && !text_argument(schema, "schema", schema_text)) return nullptr;
  std::vector<zelvo::lang::Diagnostic> findings;
  std::string schema_error;
  const bool ok = run_unlocked([&] {
    std::optional<zelvo::lang::Schema> parsed;
    if (has_schema) {
      auto s = zelvo::lang::parse_schema(schema_text);
      if (!s) {
        schema_error = s.error();
        return;
      }
      parsed = std::move(s.value());
    }
    findings = zelvo::lang::check(a.source, a.filename, parsed ? &*parsed : nullptr);
  });
  if (!ok) return nullptr;
  if (!schema_error.empty()) {
    PyRef message = PyRef::steal(str_of(schema_error));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  return diagnostics_to_list(state_of(module), findings);
}

PyObject* source_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<BoundArg, 1> bound;
  if (!bind_arguments(kSourceHash, args, nargs, kwnames, bound)) return nullptr;
  std::string_view text;
  if (!text_argument(bound[0].object, "source", text)) return nullptr;
  return PyLong_FromUnsignedLongLong(zelvo::lang::source_hash(text));
}

PyMethodDef g_functions[] = {
    bound_method("source_hash", source_hash,
     "source_hash(source)\n--\n\n"
     "The identity of a policy source (str, as UTF-8, or bytes): the 64-bit FNV-1a hash of its bytes, "
     "never 0. What loading a source records in metadata.source_hash when it states none."),
    bound_method("compile_policy", compile_policy,
     "compile_policy(source, filename='<source>')\n--\n\n"
     "Compile policy source (str or bytes) into the bytes of a .zelvoc container. "
     "Raises CompileError when the source has errors."),
    bound_method("compile_policy_json", compile_policy_json,
     "compile_policy_json(source, filename='<source>', *, indent=False)\n--\n\n"
     "Compile policy source into the policy's canonical JSON text (indented with indent=True). "
     "Raises CompileError when the source has errors."),
    bound_method("format_source", format_source,
     "format_source(source, filename='<source>')\n--\n\n"
     "The source in canonical layout, its comments kept. Raises CompileError when it has errors."),
    bound_method("print_policy", print_policy,
     "print_policy(policy)\n--\n\n"
     "The canonical source of a compiled policy, given as JSON text (str or bytes) or as the bytes "
     "of a .zelvoc container. Raises ValueError with the loader's message when it does not load."),
    bound_method("canonical_policy_json", canonical_policy_json,
     "canonical_policy_json(policy, *, indent=False)\n--\n\n"
     "The canonical JSON text of a compiled policy (JSON text or container bytes): every record in "
     "object form with every field. Two policies are the same record for record exactly when these "
     "texts are equal. Raises ValueError with the loader's message when it does not load."),
    bound_method("check_policy", check_policy,
     "check_policy(source, filename='<source>', schema=None)\n--\n\n"
     "Every error and warning the compiler and the checker find, optionally against a schema of "
     "event types (JSON text). Raises ValueError when the schema does not parse."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_language(PyObject* module) {
  if (add_diagnostic_classes(module, state_of(module)) < 0) return -1;
  return PyModule_AddFunctions(module, g_functions);
}

}  // namespace korvanthel::tools
