#include "compiler.h"

#include "diag/messages.h"
#include "lower/lower.h"
#include "lower/lower_policy.h"
#include "syntax/parser.h"
#include "syntax/source.h"

namespace zelvo::lang {

// The stages in order: the parser reads the file into its syntax tree,
// lowering turns the tree into the model, and the positions of every span
// kept are filled in one pass at the end.
CompileResult compile(std::string_view text, std::string_view filename, const CompileOptions& options) {
  CompileResult result;
  const Source source(text, filename);
  DiagnosticSink sink(source, options.max_errors);
  SyntaxArena arena;
  PolicySyntax tree = Parser(source, sink, arena, &result.comments).parse_file();
  const bool has_compiler_version = tree.has_compiler_version;
  LoweredPolicy lowered = lower_policy(std::move(tree), source, sink, options.source_map);
  result.diagnostics = sink.take();
  std::vector<Span*> spans;
  for (Comment& c : result.comments) spans.push_back(&c.span);
  if (!has_errors(result.diagnostics)) {
    result.policy = std::move(lowered.policy);
    if (!has_compiler_version) result.policy->metadata.compiler_version = Str(kCompilerVersion);
    result.source_map = std::move(lowered.source_map);
    for (Span* s : spans_of(result.source_map)) spans.push_back(s);
  }
  fill_positions(spans, source);
  return result;
}

}  // namespace zelvo::lang
