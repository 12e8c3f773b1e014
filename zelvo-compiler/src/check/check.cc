#include "check/check.h"

#include "compiler.h"

namespace zelvo::lang {

Expected<Schema, std::string> parse_schema(std::string_view) { return Schema{}; }

std::vector<Diagnostic> check(std::string_view source, std::string_view filename, const Schema*) {
  return compile(source, filename).diagnostics;
}

}  // namespace zelvo::lang
