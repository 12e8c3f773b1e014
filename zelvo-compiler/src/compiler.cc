#include "compiler.h"

#include "diag/messages.h"
#include "lower/lower.h"
#include "syntax/parser.h"
#include "syntax/source.h"

namespace zelvo::lang {

CompileResult compile(std::string_view text, std::string_view filename, const CompileOptions& options) {
  CompileResult result;
  const Source source(text, filename);
  DiagnosticSink sink(source, options.max_errors);
  Parser parser(source, sink, &result.comments);
  parser.parse_file();
  result.diagnostics = sink.take();
  std::vector<Span*> spans;
  for (Comment& c : result.comments) spans.push_back(&c.span);
  if (!has_errors(result.diagnostics)) {
    result.policy = std::move(parser.policy());
    result.source_map = std::move(parser.source_map());
    for (Span* s : spans_of(result.source_map)) spans.push_back(s);
  }
  fill_positions(spans, source);
  return result;
}

}  // namespace zelvo::lang
