// Lowering: an expression's syntax tree -> the model's IRExpr, within the
// nesting the JSON form allows at the expression's place.
//
// The JSON form allows 127 arrays and objects open at once. json_depth()
// counts what an expression opens in that form (most levels cost two: the
// variant's object and its record); the place fixes how many are open
// around it. A chain of one associative operator that would be too deep is
// emitted balanced when that provably keeps its value (docs/language.md,
// "Nesting and balanced chains"); anything still too deep is reported at
// the expression and yields nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "syntax/span.h"
#include "diag/messages.h"
#include "model/policy.h"
#include "syntax/ast.h"
#include "syntax/source.h"

namespace zelvo::lang {

enum class Place : std::uint8_t {
  Condition,  // policy > rules[] > rule > condition
  Message,    // policy > rules[] > rule > verdicts[] > verdict > message
  ActionArg,  // policy > rules[] > rule > actions[] > action > args[] > [name, expr]
  Guard,      // policy > state_machines[] > machine > transitions[] > transition > {"Predicate": expr}
};

inline constexpr int kJsonDepthLimit = 127;

// The arrays and objects open around an expression at `place`.
int enclosing_depth(Place place) noexcept;

// The arrays and objects the expression's JSON form opens, with chains as
// written (balanced = false) or balanced where allowed (true).
int json_depth(const Ast& ast, bool balanced);

// True when the expression can never evaluate to a Float.
bool float_free(const Ast& ast);

// True when the chain may be emitted balanced.
bool balanceable(const Ast& chain);

// The model expression, or nothing (reported) when it is too deep. The
// literals and paths of `ast` are moved into it (the tree is read once). When
// `spans` is not null it receives the span of each model node in
// pre-order, with only offset and length set (see fill_positions).
std::optional<IRExpr> lower_expr(Ast& ast, Place place, const Source& source, DiagnosticSink& sink,
                                 std::vector<Span>* spans);

// Fills line and column of every span from its offset and length, in one
// pass over the text.
void fill_positions(const std::vector<Span*>& spans, const Source& source);
// Every span of the map.
std::vector<Span*> spans_of(SourceMap& map);

}  // namespace zelvo::lang
