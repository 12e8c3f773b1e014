// Lowering of a whole file: its syntax tree (syntax/tree.h) -> the model
// records and the source map.
//
// Every expression of the tree is lowered at its place (lower/lower.h),
// and every state reference of a machine is resolved (lower/states.h),
// each reporting what is wrong to the sink. The result is meaningful only
// when the sink took no error. Cost: linear in the tree.
#pragma once

#include "diag/messages.h"
#include "model/policy.h"
#include "syntax/source.h"
#include "syntax/span.h"
#include "syntax/tree.h"

namespace zelvo::lang {

struct LoweredPolicy {
  CompiledPolicy policy;
  SourceMap source_map;  // spans with offsets and lengths only (see fill_positions)
};

// With `keep_spans` false the source map stays empty and no span is noted:
// for callers that only want the model.
LoweredPolicy lower_policy(PolicySyntax&& file, const Source& source, DiagnosticSink& sink, bool keep_spans = true);

}  // namespace zelvo::lang
