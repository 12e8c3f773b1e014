// ExprPrinter: the source text of expressions, decision trees and literals,
// with the parentheses that precedence and associativity require and
// nothing more (docs/language.md, "Canonical layout").
//
// Internal to the printer. Every expression but a decision tree is one
// line; a `match` spans lines, its cases indented one level deeper than
// the line that holds it, so the printer is told that line's indentation.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/policy.h"

namespace zelvo::lang {

// Binding strength of what an expression's text is, lowest first; an
// operand printed where a stronger level is required gets parentheses.
enum class Prec : int {
  Any = 0,
  Implies = 1,
  Or = 2,
  And = 3,
  Not = 4,
  Compare = 5,
  Add = 6,
  Mul = 7,
  Neg = 8,
  Postfix = 9,
};

// A field path segment: ".name", or ["name"] for a name that is no word
// (and for "_", which the lexer reads as a mark of its own).
std::string field_segment(std::string_view name);

class ExprPrinter {
 public:
  // `indent`: the number of spaces before the line that holds the
  // expression's first character.
  explicit ExprPrinter(int indent) : indent_(indent) {}

  std::string expr(const IRExpr& e) { return at_least(e, Prec::Any); }
  // Prints as inside a quantifier or count binding `name` (as its param).
  void bind(std::string_view name);
  std::string literal(const LiteralValue& v);
  // A decision node in a case body, a `decide` or a verdict leaf.
  std::string node(const DecisionNode& n);
  // `VERDICT` or `VERDICT MESSAGE`.
  std::string verdict(const IRVerdict& v);

 private:
  struct Text {
    std::string text;
    Prec prec;
  };

  // e's text, parenthesised when it binds less strongly than `min`.
  std::string at_least(const IRExpr& e, Prec min);
  Text print(const IRExpr& e);

  Text literal_expr(const IRExpr::Literal& l);
  Text ref(const IRExpr::Ref& r);
  Text binary(const IRExpr::Binary& b);
  Text unary(const IRExpr::Unary& u);
  Text predicate(const IRExpr::Predicate& p);
  Text quantifier(const IRExpr::Quantifier& q);
  Text count(const IRExpr::Count& c);
  Text call(const IRExpr::Call& c);
  Text method_call(const IRExpr::MethodCall& m);
  Text decision_tree(const IRExpr::DecisionTree& t);
  Text list(const IRExpr::List& l);

  std::string match(const DecisionNode::Switch& s);
  std::string args(const std::vector<IRExpr>& items);
  // "(PARAM, BODY)" with PARAM bound as the innermost name while BODY is
  // printed; PARAM is absent for a count without one ("_" when a filter
  // follows).
  std::string binder_args(const std::optional<Str>& param, const IRExpr* body);
  // True when `e` is printed as a reference path (event..., context...,
  // config..., local(N)...): a field read on it would extend the path.
  bool prints_as_path(const IRExpr& e) const;
  // The name under which Local(0) without fields is printed here, if any.
  const std::string* bound_name() const;

  int indent_;
  // One entry per enclosing quantifier or count: the identifier it binds,
  // or empty when its param is no identifier.
  std::vector<std::string> scopes_;
};

}  // namespace zelvo::lang
