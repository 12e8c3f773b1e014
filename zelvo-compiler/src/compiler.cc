#include "compiler.h"

namespace zelvo::lang {

CompileResult compile(std::string_view, std::string_view filename, const CompileOptions&) {
  CompileResult r;
  Diagnostic d;
  d.code = "not-implemented";
  d.file = std::string(filename);
  d.message = "the compiler is not built yet";
  r.diagnostics.push_back(d);
  return r;
}

}  // namespace zelvo::lang
