#include "emit/expr_printer.h"

#include <array>
#include <string>
#include <variant>

#include "syntax/builtins.h"
#include "syntax/lexical.h"
#include "syntax/pattern_reading.h"

namespace zelvo::lang {

namespace {

struct BinaryForm {
  std::string_view text;
  Prec prec;
};

// By BinaryOp ordinal.
constexpr std::array<BinaryForm, 15> kBinary{{
    {"+", Prec::Add},      {"-", Prec::Add},      {"*", Prec::Mul},  {"/", Prec::Mul},
    {"%", Prec::Mul},      {"==", Prec::Compare}, {"!=", Prec::Compare}, {"<", Prec::Compare},
    {"<=", Prec::Compare}, {">", Prec::Compare},  {">=", Prec::Compare}, {"and", Prec::And},
    {"or", Prec::Or},      {"implies", Prec::Implies}, {"in", Prec::Compare},
}};

// By PredicateKind and QuantifierKind ordinal.
constexpr std::array<std::string_view, 4> kPredicate{"contains", "matches", "starts_with", "ends_with"};
constexpr std::array<std::string_view, 4> kQuantifier{"all", "any", "none", "exists"};

// Verdict words by Verdict ordinal.
constexpr std::array<std::string_view, 4> kVerdict{"allow", "deny", "audit", "redact"};

Prec stronger(Prec p) { return static_cast<Prec>(static_cast<int>(p) + 1); }

std::string int_text(std::int64_t v) { return std::to_string(v); }

bool starts_with_digit(std::string_view s) { return !s.empty() && s[0] >= '0' && s[0] <= '9'; }

}  // namespace

// The lexer reads a lone "_" as the no-parameter mark, never as a word, so
// a field of that name is written as a string.
std::string field_segment(std::string_view name) {
  return name == "_" ? "[" + format_string(name) + "]" : format_field_segment(name);
}

namespace {

}  // namespace

std::string ExprPrinter::literal(const LiteralValue& v) {
  switch (v.kind()) {
    case LiteralValue::Kind::Bool:
      return std::get<LiteralValue::Bool>(v.v).value ? "true" : "false";
    case LiteralValue::Kind::Int:
      return int_text(std::get<LiteralValue::Int>(v.v).value);
    case LiteralValue::Kind::Float:
      return format_float(std::get<LiteralValue::Float>(v.v).value);
    case LiteralValue::Kind::String:
      return format_string(std::get<LiteralValue::String>(v.v).value);
    case LiteralValue::Kind::Duration: {
      const DurationLit& d = std::get<LiteralValue::Duration>(v.v).value;
      std::string text = std::to_string(d.value) + std::string(duration_suffix(static_cast<std::uint8_t>(d.unit)));
      // Beyond 64 bits of milliseconds a bare duration is an error; the
      // explicit spelling keeps such a literal.
      if (duration_wraps(d.value, static_cast<std::uint8_t>(d.unit))) return "wrapping(" + text + ")";
      return text;
    }
    case LiteralValue::Kind::Regex:
    {
      // A pattern the compiler would refuse as misleading keeps its text
      // under the spelling that takes it as it is.
      const Str& text = std::get<LiteralValue::Regex>(v.v).value;
      return (read_pattern(text.view()).misread() ? "verbatim" : "pattern") + format_string(text);
    }
  }
  return {};
}

std::string ExprPrinter::at_least(const IRExpr& e, Prec min) {
  Text t = print(e);
  if (t.prec < min) return "(" + t.text + ")";
  return std::move(t.text);
}

ExprPrinter::Text ExprPrinter::print(const IRExpr& e) {
  switch (e.kind()) {
    case IRExpr::Kind::Literal: return literal_expr(std::get<IRExpr::Literal>(e.v));
    case IRExpr::Kind::Ref: return ref(std::get<IRExpr::Ref>(e.v));
    case IRExpr::Kind::Binary: return binary(std::get<IRExpr::Binary>(e.v));
    case IRExpr::Kind::Unary: return unary(std::get<IRExpr::Unary>(e.v));
    case IRExpr::Kind::Predicate: return predicate(std::get<IRExpr::Predicate>(e.v));
    case IRExpr::Kind::Quantifier: return quantifier(std::get<IRExpr::Quantifier>(e.v));
    case IRExpr::Kind::Count: return count(std::get<IRExpr::Count>(e.v));
    case IRExpr::Kind::Call: return call(std::get<IRExpr::Call>(e.v));
    case IRExpr::Kind::MethodCall: return method_call(std::get<IRExpr::MethodCall>(e.v));
    case IRExpr::Kind::DecisionTree: return decision_tree(std::get<IRExpr::DecisionTree>(e.v));
    case IRExpr::Kind::List: return list(std::get<IRExpr::List>(e.v));
  }
  return {"", Prec::Postfix};
}

ExprPrinter::Text ExprPrinter::literal_expr(const IRExpr::Literal& l) {
  return {literal(l.value), Prec::Postfix};
}

void ExprPrinter::bind(std::string_view name) {
  scopes_.push_back(is_identifier(name) ? std::string(name) : std::string());
}

const std::string* ExprPrinter::bound_name() const {
  if (scopes_.empty() || scopes_.back().empty()) return nullptr;
  return &scopes_.back();
}

ExprPrinter::Text ExprPrinter::ref(const IRExpr::Ref& r) {
  const RefPath& path = r.path;
  std::string out;
  switch (path.root.kind) {
    case RefRoot::Kind::Event: out = "event"; break;
    case RefRoot::Kind::Context: out = "context"; break;
    case RefRoot::Kind::Policy: out = "config"; break;
    case RefRoot::Kind::Local:
      if (path.root.slot == 0 && path.fields.empty()) {
        if (const std::string* name = bound_name()) return {*name, Prec::Postfix};
      }
      out = "local(" + std::to_string(path.root.slot) + ")";
      break;
  }
  for (const Str& f : path.fields) out += field_segment(f);
  return {std::move(out), Prec::Postfix};
}

ExprPrinter::Text ExprPrinter::binary(const IRExpr::Binary& b) {
  const BinaryForm& form = kBinary[static_cast<std::size_t>(b.op)];
  Prec left_min = form.prec;
  Prec right_min = stronger(form.prec);
  if (form.prec == Prec::Implies) {
    std::swap(left_min, right_min);
  } else if (form.prec == Prec::Compare) {
    left_min = right_min;  // comparisons do not chain
  }
  std::string left = at_least(*b.left, left_min);
  std::string right = at_least(*b.right, right_min);
  std::string out;
  out.reserve(left.size() + right.size() + form.text.size() + 2);
  out += left;
  out += ' ';
  out += form.text;
  out += ' ';
  out += right;
  return {std::move(out), form.prec};
}

ExprPrinter::Text ExprPrinter::unary(const IRExpr::Unary& u) {
  // A comparison under `not` keeps its parentheses, `not (a > 0)`: bare,
  // `not a > 0` reads as `(not a) > 0` to many.
  if (u.op == UnaryOp::Not) return {"not " + at_least(*u.operand, Prec::Add), Prec::Not};
  std::string operand = at_least(*u.operand, Prec::Neg);
  // "-5" would be the literal -5, "-5m" a syntax error.
  if (starts_with_digit(operand)) operand = "(" + operand + ")";
  return {"-" + operand, Prec::Neg};
}

ExprPrinter::Text ExprPrinter::predicate(const IRExpr::Predicate& p) {
  std::string out = at_least(*p.subject, Prec::Postfix);
  out += '.';
  out += kPredicate[static_cast<std::size_t>(p.kind)];
  out += '(';
  out += expr(*p.argument);
  out += ')';
  return {std::move(out), Prec::Postfix};
}

std::string ExprPrinter::binder_args(const std::optional<Str>& param, const IRExpr* body) {
  std::string out = "(";
  if (param) {
    out += is_identifier(*param) ? std::string(param->view()) : format_string(*param);
  } else if (body != nullptr) {
    out += '_';
  }
  if (body != nullptr) {
    scopes_.push_back(param && is_identifier(*param) ? std::string(param->view()) : std::string());
    out += ", ";
    out += expr(*body);
    scopes_.pop_back();
  }
  out += ')';
  return out;
}

ExprPrinter::Text ExprPrinter::quantifier(const IRExpr::Quantifier& q) {
  std::string out = at_least(*q.collection, Prec::Postfix);
  out += '.';
  out += kQuantifier[static_cast<std::size_t>(q.kind)];
  out += binder_args(q.param, &*q.body);
  return {std::move(out), Prec::Postfix};
}

ExprPrinter::Text ExprPrinter::count(const IRExpr::Count& c) {
  std::string out = at_least(*c.collection, Prec::Postfix);
  out += ".count";
  out += binder_args(c.param, c.filter ? &**c.filter : nullptr);
  return {std::move(out), Prec::Postfix};
}

std::string ExprPrinter::args(const std::vector<IRExpr>& items) {
  std::string out = "(";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    out += expr(items[i]);
  }
  out += ')';
  return out;
}

ExprPrinter::Text ExprPrinter::call(const IRExpr::Call& c) {
  std::string out = is_plain_function_call(c.function, c.args.size()) ? std::string(c.function.view())
                                                                       : format_raw_name(c.function);
  out += args(c.args);
  return {std::move(out), Prec::Postfix};
}

bool ExprPrinter::prints_as_path(const IRExpr& e) const {
  const auto* r = std::get_if<IRExpr::Ref>(&e.v);
  if (r == nullptr) return false;
  const RefPath& path = r->path;
  const bool as_name = path.root.kind == RefRoot::Kind::Local && path.root.slot == 0 && path.fields.empty() &&
                       bound_name() != nullptr;
  return !as_name;
}

ExprPrinter::Text ExprPrinter::method_call(const IRExpr::MethodCall& m) {
  std::string out = at_least(*m.object, Prec::Postfix);
  if (is_plain_method_call(m.method, m.args.size())) {
    out += '.';
    out += m.method.view();
    out += args(m.args);
  } else if (m.args.empty() && !prints_as_path(*m.object)) {
    out += field_segment(m.method);  // a field read on a value
  } else {
    out += '.';
    out += format_raw_name(m.method);
    out += args(m.args);
  }
  return {std::move(out), Prec::Postfix};
}

ExprPrinter::Text ExprPrinter::list(const IRExpr::List& l) {
  std::string out = "[";
  for (std::size_t i = 0; i < l.items.size(); ++i) {
    if (i != 0) out += ", ";
    out += expr(l.items[i]);
  }
  out += ']';
  return {std::move(out), Prec::Postfix};
}

ExprPrinter::Text ExprPrinter::decision_tree(const IRExpr::DecisionTree& t) {
  if (const auto* s = std::get_if<DecisionNode::Switch>(&t.node->v)) return {match(*s), Prec::Postfix};
  return {"decide { " + node(*t.node) + " }", Prec::Postfix};
}

std::string ExprPrinter::match(const DecisionNode::Switch& s) {
  std::string out = "match " + expr(*s.subject) + " {";
  if (s.cases.empty() && !s.default_) return out + "}";
  const int outer = indent_;
  indent_ = outer + 2;
  const std::string pad(static_cast<std::size_t>(indent_), ' ');
  for (const DecisionCase& c : s.cases) {
    out += '\n';
    out += pad;
    out += "case ";
    switch (c.test.kind()) {
      case CaseTest::Kind::Literal:
        out += literal(std::get<CaseTest::Literal>(c.test.v).value);
        break;
      case CaseTest::Kind::Constructor:
        out += "is ";
        out += format_name(std::get<CaseTest::Constructor>(c.test.v).name);
        break;
      case CaseTest::Kind::Guard:
        out += "if ";
        out += expr(*std::get<CaseTest::Guard>(c.test.v).expr);
        break;
    }
    out += " => ";
    out += node(c.body);
  }
  if (s.default_) {
    out += '\n';
    out += pad;
    out += "else => ";
    out += node(**s.default_);
  }
  indent_ = outer;
  out += '\n';
  out.append(static_cast<std::size_t>(outer), ' ');
  out += '}';
  return out;
}

std::string ExprPrinter::node(const DecisionNode& n) {
  switch (n.kind()) {
    case DecisionNode::Kind::Switch:
      return match(std::get<DecisionNode::Switch>(n.v));
    case DecisionNode::Kind::Leaf: {
      const IRExpr& e = *std::get<DecisionNode::Leaf>(n.v).expr;
      // A node that starts with `match` is a switch, not a leaf: a tree,
      // or an expression whose leftmost operand is one, goes in parentheses.
      std::string text = print(e).text;
      if (e.kind() == IRExpr::Kind::DecisionTree || text.starts_with("match ")) return "(" + text + ")";
      return text;
    }
    case DecisionNode::Kind::VerdictLeaf:
      return verdict(std::get<DecisionNode::VerdictLeaf>(n.v).verdict);
  }
  return {};
}

std::string ExprPrinter::verdict(const IRVerdict& v) {
  std::string out(kVerdict[static_cast<std::size_t>(v.verdict)]);
  if (v.message) {
    out += ' ';
    out += expr(**v.message);
  }
  return out;
}

}  // namespace zelvo::lang
