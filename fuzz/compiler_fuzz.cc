// Fuzz target: the policy compiler and the checker over source text.
//
// Beyond "no crash, no leak, no undefined behaviour, no deep recursion",
// it checks that a policy comes back exactly when no diagnostic is an
// error, that every diagnostic has a position inside the text and a code,
// that the error limit holds, and that the source map covers every rule
// and transition with spans inside the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check/check.h"
#include "compiler.h"
#include "fuzz_util.h"

namespace {

void check_diagnostics(const std::vector<zelvo::lang::Diagnostic>& ds, std::string_view text) {
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  for (const auto& d : ds) {
    if (d.code.empty() || d.message.empty()) zelvo_fuzz::fail("diagnostic without code or message");
    if (d.line == 0 || d.line > lines || d.column == 0) zelvo_fuzz::fail("diagnostic position outside the text", d.message);
    if (d.line_text.size() > zelvo::lang::kMaxExcerptBytes) zelvo_fuzz::fail("excerpt too long");
    if (!zelvo_fuzz::valid_utf8(d.line_text)) zelvo_fuzz::fail("excerpt is not UTF-8");
    (void)zelvo::lang::render(d);
  }
}

void check_span(const zelvo::lang::Span& s, std::size_t size) {
  if (std::size_t{s.offset} + s.length > size || s.line == 0 || s.column == 0) zelvo_fuzz::fail("span outside the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  zelvo::lang::CompileOptions options;
  options.max_errors = 5;
  const zelvo::lang::CompileResult r = zelvo::lang::compile(text, "f.zelvo", options);
  check_diagnostics(r.diagnostics, text);
  std::size_t errors = 0;
  for (const auto& d : r.diagnostics) errors += d.level == zelvo::lang::Level::Error;
  if (errors > options.max_errors + 1) zelvo_fuzz::fail("more errors than the limit");
  if (r.policy.has_value() == (errors > 0)) zelvo_fuzz::fail("a policy and errors, or neither");
  if (r.policy) {
    if (r.source_map.rules.size() != r.policy->rules.size() ||
        r.source_map.machines.size() != r.policy->state_machines.size() ||
        r.source_map.constraints.size() != r.policy->constraints.size()) {
      zelvo_fuzz::fail("source map does not match the policy");
    }
    for (const auto& rule : r.source_map.rules) {
      check_span(rule.span, size);
      for (const auto& s : rule.condition) check_span(s, size);
    }
    for (std::size_t i = 0; i < r.source_map.machines.size(); ++i) {
      const auto& m = r.source_map.machines[i];
      if (m.transitions.size() != r.policy->state_machines[i].transitions.size()) zelvo_fuzz::fail("transition spans");
      for (const auto& s : m.transitions) check_span(s, size);
    }
    if (!zelvo_fuzz::valid_utf8(std::string_view(r.policy->name.view()))) zelvo_fuzz::fail("name is not UTF-8");
  }
  for (const auto& c : r.comments) check_span(c.span, size);

  static const zelvo::lang::Schema schema = zelvo::lang::parse_schema(
      R"({"events": {"tool_call": {"properties": {"tool": {"type": "string"}, "n": {"type": "integer"},)"
      R"( "args": {"properties": {"url": {"type": "string"}}}}}, "data": {}}})").value();
  check_diagnostics(zelvo::lang::check(text, "f.zelvo", &schema), text);
  return 0;
}
