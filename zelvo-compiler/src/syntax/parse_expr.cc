// Expressions: one function per precedence level (docs/grammar.ebnf).
#include <array>
#include <limits>

#include "diag/suggest.h"
#include "syntax/builtins.h"
#include "syntax/lexical.h"
#include "syntax/parser.h"
#include "syntax/pattern_reading.h"

namespace zelvo::lang {

namespace {

// A pattern literal that a regular-expression reader would misread is an
// error naming the rule the engine applies and the plain test that says
// the same; `re"..."` is still read, with a warning.
void check_pattern(const Token& t, DiagnosticSink& sink) {
  if (t.pattern == PatternSpelling::Verbatim) return;
  const PatternReading reading = read_pattern(t.text);
  if (reading.misread()) {
    const std::string shown = format_string(t.text);
    sink.report(Msg::MisreadPattern, t.offset,
                {clip(shown, 80), misread_reason(reading, t.text), std::string(rule_name(reading.rule)),
                 rule_effect(reading)},
                Hint::PatternInstead, {rule_replacement(reading), shown});
    return;
  }
  if (t.pattern == PatternSpelling::Regex) {
    sink.report(Msg::DeprecatedRegexLiteral, t.offset, {}, Hint::PatternSpelling, {format_string(t.text)});
  }
}

AstPtr make_in(SyntaxArena& arena, Ast::Kind kind, std::uint32_t offset) {
  AstPtr a = arena.make();
  a->kind = kind;
  a->offset = offset;
  return a;
}

std::string arity_text(std::size_t min, std::size_t max) {
  auto count = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " argument" : " arguments"); };
  if (min == max) return count(min);
  return std::to_string(min) + " to " + std::to_string(max) + " arguments";
}

// A chain of one precedence level: its operands joined by `ops`.
struct ChainBuilder {
  SyntaxArena& arena;
  AstPtr chain;
  AstPtr first;
  void add(BinaryOp op, AstPtr operand) {
    if (!chain) {
      chain = make_in(arena, Ast::Kind::Chain, first->offset);
      chain->kids.reserve(4);  // most chains are short: one allocation each
      chain->ops.reserve(3);
      chain->kids.push_back(std::move(first));
    }
    chain->ops.push_back(op);
    chain->kids.push_back(std::move(operand));
  }
  AstPtr done() {
    if (!chain) return std::move(first);
    chain->length = chain->kids.back()->end() - chain->offset;
    return std::move(chain);
  }
};

constexpr std::array<std::string_view, 3> kRoots{"event", "context", "config"};

}  // namespace

void Parser::enter(std::uint32_t offset) {
  if (++depth_ > kMaxNesting) {
    sink_.report(Msg::NestingTooDeep, offset, {std::to_string(kMaxNesting)});
    throw Abort{};
  }
}

AstPtr Parser::finish(AstPtr node, std::uint32_t start) {
  node->offset = start;
  node->length = last_end_ - start;
  return node;
}

// Stands in for an expression that was reported (an unknown function, a
// wrong count of arguments) so that parsing goes on.
AstPtr Parser::make(Ast::Kind kind, std::uint32_t offset) { return make_in(arena_, kind, offset); }

AstPtr Parser::placeholder(std::uint32_t start) {
  auto a = make(Ast::Kind::Literal, start);
  a->literal = LiteralValue::Bool{false};
  a->length = last_end_ - start;
  return a;
}

namespace {

// The operators of each level of left-to-right chains.
std::optional<BinaryOp> implies_op(const Token& t) {
  return t.is_word("implies") ? std::optional<BinaryOp>(BinaryOp::Implies) : std::nullopt;
}
std::optional<BinaryOp> or_op(const Token& t) {
  return t.is_word("or") ? std::optional<BinaryOp>(BinaryOp::Or) : std::nullopt;
}
std::optional<BinaryOp> and_op(const Token& t) {
  return t.is_word("and") ? std::optional<BinaryOp>(BinaryOp::And) : std::nullopt;
}
std::optional<BinaryOp> additive_op(const Token& t) {
  if (t.kind == Tok::Plus) return BinaryOp::Add;
  if (t.kind == Tok::Minus) return BinaryOp::Sub;
  return std::nullopt;
}
std::optional<BinaryOp> multiplicative_op(const Token& t) {
  switch (t.kind) {
    case Tok::Star: return BinaryOp::Mul;
    case Tok::Slash: return BinaryOp::Div;
    case Tok::Percent: return BinaryOp::Mod;
    default: return std::nullopt;
  }
}

}  // namespace

template <Parser::ChainOp OpAt, AstPtr (Parser::*Operand)()>
AstPtr Parser::parse_chain() {
  ChainBuilder b{arena_, nullptr, (this->*Operand)()};
  while (const auto op = OpAt(peek())) {
    take();
    b.add(*op, (this->*Operand)());
  }
  return b.done();
}

AstPtr Parser::parse_expr() {
  enter(peek().offset);
  auto out = parse_chain<implies_op, &Parser::parse_or>();
  if (out->kind == Ast::Kind::Chain && out->ops[0] == BinaryOp::Implies) out->right_assoc = true;
  leave();
  return out;
}

AstPtr Parser::parse_or() { return parse_chain<or_op, &Parser::parse_and>(); }

AstPtr Parser::parse_and() { return parse_chain<and_op, &Parser::parse_not>(); }

AstPtr Parser::parse_not() {
  if (!at_word("not")) return parse_cmp();
  const std::uint32_t start = take().offset;
  enter(start);
  auto node = make(Ast::Kind::Unary, start);
  node->unary = UnaryOp::Not;
  node->kids.push_back(parse_not());
  leave();
  return finish(std::move(node), start);
}

namespace {

std::optional<BinaryOp> comparison(Tok kind, const Token& t) {
  switch (kind) {
    case Tok::Eq: return BinaryOp::Eq;
    case Tok::Neq: return BinaryOp::Neq;
    case Tok::Lt: return BinaryOp::Lt;
    case Tok::Le: return BinaryOp::Le;
    case Tok::Gt: return BinaryOp::Gt;
    case Tok::Ge: return BinaryOp::Ge;
    default: return t.is_word("in") ? std::optional<BinaryOp>(BinaryOp::In) : std::nullopt;
  }
}

}  // namespace

AstPtr Parser::parse_cmp() {
  ChainBuilder b{arena_, nullptr, parse_add()};
  if (auto op = comparison(peek().kind, peek())) {
    take();
    b.add(*op, parse_add());
    if (comparison(peek().kind, peek())) {
      sink_.report(Msg::ChainedComparison, peek().offset, {}, Hint::Parenthesise);
      throw Abort{};
    }
  }
  return b.done();
}

AstPtr Parser::parse_add() { return parse_chain<additive_op, &Parser::parse_mul>(); }

AstPtr Parser::parse_mul() { return parse_chain<multiplicative_op, &Parser::parse_neg>(); }

AstPtr Parser::parse_neg() {
  if (!at(Tok::Minus)) return parse_postfix();
  const Tok next = peek(1).kind;
  if (next == Tok::Int || next == Tok::Float) return parse_postfix();  // a signed literal
  const std::uint32_t start = take().offset;
  enter(start);
  auto node = make(Ast::Kind::Unary, start);
  node->unary = UnaryOp::Neg;
  node->kids.push_back(parse_neg());
  leave();
  return finish(std::move(node), start);
}

AstPtr Parser::field_read(AstPtr object, std::string field, std::uint32_t end) {
  if (object->kind == Ast::Kind::Ref && object->path_open) {
    object->path.fields.emplace_back(field);
    object->length = end - object->offset;
    return object;
  }
  const std::uint32_t start = object->offset;
  auto node = make(Ast::Kind::MethodCall, start);
  node->name = std::move(field);
  node->kids.push_back(std::move(object));
  node->length = end - start;
  return node;
}

AstPtr Parser::parse_postfix() {
  auto e = parse_primary();
  int applied = 0;
  for (;;) {
    if (at(Tok::Dot)) {
      take();
      Token name = peek();
      if (name.kind == Tok::Underscore) name.kind = Tok::Word;  // a field named "_"
      if (name.kind == Tok::Word && peek(1).kind == Tok::LParen) {
        take();
        enter(name.offset);
        ++applied;
        e = parse_method(std::move(e), name);
      } else if (name.kind == Tok::Word) {
        take();
        if (!(e->kind == Ast::Kind::Ref && e->path_open)) {
          enter(name.offset);
          ++applied;
        }
        e = field_read(std::move(e), std::string(name.text), last_end_);
      } else if (name.kind == Tok::RawName) {
        take();
        enter(name.offset);
        ++applied;
        const std::uint32_t start = e->offset;
        auto node = make(Ast::Kind::MethodCall, start);
        node->name = name.text;
        node->kids.push_back(std::move(e));
        for (auto& a : parse_call_args()) node->kids.push_back(std::move(a));
        e = finish(std::move(node), start);
      } else {
        fail("a field or method name after \".\"");
      }
    } else if (at(Tok::LBracket)) {
      take();
      const Token key = peek();
      if (key.kind != Tok::String) fail("a string (a field name) inside \"[]\"");
      take();
      expect(Tok::RBracket);
      if (!(e->kind == Ast::Kind::Ref && e->path_open)) {
        enter(key.offset);
        ++applied;
      }
      e = field_read(std::move(e), std::string(key.text), last_end_);
    } else {
      break;
    }
  }
  depth_ -= applied;
  return e;
}

AstList Parser::parse_call_args() {
  expect(Tok::LParen);
  AstList args(arena_.lists());
  if (at(Tok::RParen)) {
    take();
    return args;
  }
  for (;;) {
    if (at(Tok::Underscore)) {
      sink_.report(Msg::UnexpectedUnderscore, peek().offset);
      throw Abort{};
    }
    args.push_back(parse_expr());
    if (at(Tok::Comma)) {
      take();
      continue;
    }
    expect(Tok::RParen);
    return args;
  }
}

AstPtr Parser::parse_method(AstPtr object, const Token& name) {
  const std::string m(name.text);
  const std::uint32_t start = object->offset;
  if (m == "all" || m == "any" || m == "none" || m == "exists") return parse_quantifier(std::move(object), name);
  if (m == "count") return parse_count(std::move(object), name);
  static constexpr std::array<std::pair<std::string_view, PredicateKind>, 4> kPredicates{{
      {"contains", PredicateKind::Contains},
      {"matches", PredicateKind::Matches},
      {"starts_with", PredicateKind::StartsWith},
      {"ends_with", PredicateKind::EndsWith},
  }};
  auto args = parse_call_args();
  for (const auto& [word, kind] : kPredicates) {
    if (word != m) continue;
    if (args.size() != 1) {
      sink_.report(Msg::WrongArity, name.offset, {m, arity_text(1, 1), std::to_string(args.size())});
      return placeholder(start);
    }
    auto node = make(Ast::Kind::Predicate, start);
    node->predicate = kind;
    node->kids.push_back(std::move(object));
    node->kids.push_back(std::move(args[0]));
    return finish(std::move(node), start);
  }
  const Builtin* b = find_method(m);
  if (b == nullptr) {
    std::vector<std::string> candidates;
    for (const Builtin& c : builtin_methods()) candidates.emplace_back(c.name);
    for (const auto& [word, kind] : kPredicates) candidates.emplace_back(word);
    for (std::string_view w : {"all", "any", "none", "exists", "count"}) candidates.emplace_back(w);
    const std::string near = nearest(m, candidates);
    if (!near.empty()) {
      sink_.report(Msg::UnknownMethod, name.offset, {m}, Hint::DidYouMean, {near});
    } else {
      sink_.report(Msg::UnknownMethod, name.offset, {m}, Hint::RawCall, {m});
    }
    return placeholder(start);
  }
  if (args.size() < b->min_args || args.size() > b->max_args) {
    sink_.report(Msg::WrongArity, name.offset, {m, arity_text(b->min_args, b->max_args), std::to_string(args.size())});
    return placeholder(start);
  }
  auto node = make(Ast::Kind::MethodCall, start);
  node->name = m;
  node->kids.push_back(std::move(object));
  for (auto& a : args) node->kids.push_back(std::move(a));
  return finish(std::move(node), start);
}

AstPtr Parser::parse_quantifier(AstPtr object, const Token& name) {
  const std::uint32_t start = object->offset;
  auto node = make(Ast::Kind::Quantifier, start);
  const std::string m(name.text);
  node->quantifier = m == "all" ? QuantifierKind::All
                     : m == "any" ? QuantifierKind::Any
                     : m == "none" ? QuantifierKind::None
                                   : QuantifierKind::Exists;
  expect(Tok::LParen);
  const Token param = peek();
  std::string bound;
  if (param.kind == Tok::Word && is_identifier(param.text)) {
    bound = param.text;
  } else if (param.kind == Tok::Underscore) {
    sink_.report(Msg::UnexpectedUnderscore, param.offset);
    throw Abort{};
  } else if (param.kind == Tok::RParen) {
    sink_.report(Msg::WrongArity, name.offset, {m, arity_text(2, 2), "0"});
    throw Abort{};
  } else if (param.kind != Tok::String) {
    fail("a parameter name (an identifier or a string)");
  }
  take();
  node->name = param.text;
  expect(Tok::Comma);
  node->kids.push_back(std::move(object));
  node->kids.push_back(parse_in_scope(std::move(bound)));
  if (at(Tok::Comma)) {
    sink_.report(Msg::WrongArity, name.offset, {m, arity_text(2, 2), "3 or more"});
    throw Abort{};
  }
  expect(Tok::RParen);
  return finish(std::move(node), start);
}

AstPtr Parser::parse_in_scope(std::string bound) {
  scopes_.push_back(std::move(bound));
  try {
    AstPtr body = parse_expr();
    scopes_.pop_back();
    return body;
  } catch (...) {
    scopes_.pop_back();
    throw;
  }
}

AstPtr Parser::parse_count(AstPtr object, const Token& name) {
  const std::uint32_t start = object->offset;
  auto node = make(Ast::Kind::Count, start);
  node->kids.push_back(std::move(object));
  expect(Tok::LParen);
  if (at(Tok::RParen)) {
    take();
    node->kids.push_back(nullptr);
    return finish(std::move(node), start);
  }
  const Token param = peek();
  std::string bound;
  if (param.kind == Tok::Word && is_identifier(param.text)) {
    bound = param.text;
    node->has_param = true;
    node->name = param.text;
  } else if (param.kind == Tok::String) {
    node->has_param = true;
    node->name = param.text;
  } else if (param.kind != Tok::Underscore) {
    fail("a parameter name (an identifier, a string or \"_\")");
  }
  take();
  if (at(Tok::Comma)) {
    take();
    node->kids.push_back(parse_in_scope(std::move(bound)));
  } else {
    if (param.kind == Tok::Underscore) fail("\",\" and a filter after \"_\"");
    node->kids.push_back(nullptr);
  }
  if (at(Tok::Comma)) {
    sink_.report(Msg::WrongArity, name.offset, {"count", arity_text(0, 2), "3 or more"});
    throw Abort{};
  }
  expect(Tok::RParen);
  return finish(std::move(node), start);
}

AstPtr Parser::parse_name_ref(const Token& name) {
  auto node = make(Ast::Kind::Ref, name.offset);
  node->length = name.length;
  node->path.root.kind = RefRoot::Kind::Local;
  if (!scopes_.empty() && scopes_.back() == name.text) return node;
  for (const std::string& outer : scopes_) {
    if (outer == name.text) {
      sink_.report(Msg::OuterBinding, name.offset, {std::string(name.text)}, Hint::InnerElement);
      return node;
    }
  }
  std::vector<std::string> candidates(kRoots.begin(), kRoots.end());
  if (!scopes_.empty() && !scopes_.back().empty()) candidates.push_back(scopes_.back());
  for (const Builtin& b : builtin_functions()) candidates.emplace_back(b.name);
  const std::string near = nearest(name.text, candidates);
  if (!near.empty()) {
    sink_.report(Msg::UnknownName, name.offset, {std::string(name.text)}, Hint::DidYouMean, {near});
  } else {
    sink_.report(Msg::UnknownName, name.offset, {std::string(name.text)}, Hint::EventField, {std::string(name.text)});
  }
  return node;
}

bool Parser::at_literal_value() {
  const Token& t = peek();
  switch (t.kind) {
    case Tok::Int:
    case Tok::Float:
    case Tok::String:
    case Tok::Regex:
    case Tok::Duration: return true;
    case Tok::Minus: return peek(1).kind == Tok::Int || peek(1).kind == Tok::Float;
    case Tok::Word:
      return t.text == "true" || t.text == "false" ||
             (t.text == "wrapping" && peek(1).kind == Tok::LParen && peek(2).kind == Tok::Duration &&
              peek(3).kind == Tok::RParen);
    default: return false;
  }
}

// A literal value; the caller has checked at_literal_value().
LiteralValue Parser::parse_literal_value() {
  const Token first = take();
  switch (first.kind) {
    case Tok::String: return LiteralValue::String{Str(first.text)};
    case Tok::Regex:
      check_pattern(first, sink_);
      return LiteralValue::Regex{Str(first.text)};
    case Tok::Word: {
      if (first.text != "wrapping") return LiteralValue::Bool{first.text == "true"};
      // `wrapping(D)`: a duration whose milliseconds exceed 64 bits, kept as
      // written; the engine takes them modulo 2^64.
      take();  // "("
      const Token d = take();
      take();  // ")"
      if (d.overflow) {
        sink_.report(Msg::ValueOutOfRange, d.offset, {"duration", clip(d.text, 40), "18446744073709551615"});
      }
      return LiteralValue::Duration{DurationLit{d.uint, static_cast<DurationUnit>(d.unit)}};
    }
    case Tok::Duration:
      if (first.overflow) {
        sink_.report(Msg::ValueOutOfRange, first.offset, {"duration", clip(first.text, 40), "18446744073709551615"});
      } else if (duration_wraps(first.uint, first.unit)) {
        sink_.report(Msg::DurationOutOfRange, first.offset, {clip(first.text, 40)});
      }
      return LiteralValue::Duration{DurationLit{first.uint, static_cast<DurationUnit>(first.unit)}};
    default: break;
  }
  const bool negative = first.kind == Tok::Minus;
  const Token number = negative ? take() : first;
  if (number.kind == Tok::Float) {
    if (number.overflow) {
      sink_.report(Msg::FloatOutOfRange, first.offset, {(negative ? "-" : "") + clip(number.text, 40)});
    }
    return LiteralValue::Float{negative ? -number.real : number.real};
  }
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  if (number.overflow || number.uint > limit) {
    sink_.report(Msg::IntOutOfRange, first.offset, {(negative ? "-" : "") + clip(number.text, 40)}, Hint::IntRange);
    return LiteralValue::Int{0};
  }
  const std::int64_t value = negative ? static_cast<std::int64_t>(0 - number.uint) : static_cast<std::int64_t>(number.uint);
  return LiteralValue::Int{value};
}

AstPtr Parser::parse_primary() {
  const Token& t = peek();
  const std::uint32_t start = t.offset;
  if (at_literal_value()) {
    auto node = make(Ast::Kind::Literal, start);
    node->literal = parse_literal_value();
    return finish(std::move(node), start);
  }
  switch (t.kind) {
    case Tok::LParen: {
      take();
      auto inner = parse_expr();  // counts the level
      expect(Tok::RParen);
      return inner;
    }
    case Tok::LBracket: {
      take();
      auto node = make(Ast::Kind::List, start);
      if (!at(Tok::RBracket)) {
        for (;;) {
          node->kids.push_back(parse_expr());
          if (!at(Tok::Comma)) break;
          take();
        }
      }
      expect(Tok::RBracket);
      return finish(std::move(node), start);
    }
    case Tok::RawName: {
      const Token name = take();
      auto node = make(Ast::Kind::Call, start);
      node->name = name.text;
      node->kids = parse_call_args();
      return finish(std::move(node), start);
    }
    case Tok::Underscore:
      sink_.report(Msg::UnexpectedUnderscore, start);
      throw Abort{};
    case Tok::Word: break;
    default: fail("an expression");
  }
  const std::string word(t.text);
  if (word == "event" || word == "context" || word == "config") {
    take();
    auto node = make(Ast::Kind::Ref, start);
    node->path.root.kind = word == "event"     ? RefRoot::Kind::Event
                           : word == "context" ? RefRoot::Kind::Context
                                               : RefRoot::Kind::Policy;
    node->path_open = true;
    return finish(std::move(node), start);
  }
  if (word == "local") {
    take();
    expect(Tok::LParen);
    const std::uint64_t slot = parse_uint("slot", std::numeric_limits<std::uint32_t>::max());
    expect(Tok::RParen);
    auto node = make(Ast::Kind::Ref, start);
    node->path.root.kind = RefRoot::Kind::Local;
    node->path.root.slot = static_cast<std::uint32_t>(slot);
    node->path_open = true;
    return finish(std::move(node), start);
  }
  if (word == "match") return parse_match();
  if (word == "decide") {
    take();
    expect(Tok::LBrace);
    auto node = make(Ast::Kind::Decision, start);
    node->node = parse_node();  // its expression counts the level
    expect(Tok::RBrace);
    return finish(std::move(node), start);
  }
  if (is_keyword(word)) fail("an expression");
  const Token name = take();
  if (!at(Tok::LParen)) return parse_name_ref(name);
  auto args = parse_call_args();
  const Builtin* b = find_function(word);
  if (b == nullptr) {
    std::vector<std::string> candidates;
    for (const Builtin& c : builtin_functions()) candidates.emplace_back(c.name);
    const std::string near = nearest(word, candidates);
    if (!near.empty()) {
      sink_.report(Msg::UnknownFunction, start, {word}, Hint::DidYouMean, {near});
    } else {
      sink_.report(Msg::UnknownFunction, start, {word}, Hint::RawCall, {word});
    }
    return placeholder(start);
  }
  if (args.size() < b->min_args || args.size() > b->max_args) {
    sink_.report(Msg::WrongArity, start, {word, arity_text(b->min_args, b->max_args), std::to_string(args.size())});
    return placeholder(start);
  }
  auto node = make(Ast::Kind::Call, start);
  node->name = word;
  node->kids = std::move(args);
  return finish(std::move(node), start);
}

AstPtr Parser::parse_match() {
  const std::uint32_t start = take().offset;  // "match"
  enter(start);
  auto node = make(Ast::Kind::Decision, start);
  auto sw = std::make_unique<AstNode>();
  sw->kind = DecisionNode::Kind::Switch;
  sw->offset = start;
  sw->expr = parse_expr();
  expect(Tok::LBrace);
  while (at_word("case")) {
    take();
    AstCase c;
    if (at_word("is")) {
      take();
      c.kind = CaseTest::Kind::Constructor;
      c.name = parse_name("a type name");
    } else if (at_word("if")) {
      take();
      c.kind = CaseTest::Kind::Guard;
      c.guard = parse_expr();
    } else if (at_literal_value()) {
      c.kind = CaseTest::Kind::Literal;
      c.literal = parse_literal_value();
    } else {
      fail("a literal, \"is\" or \"if\"");
    }
    expect(Tok::FatArrow);
    c.body = parse_node();
    sw->cases.push_back(std::move(c));
  }
  if (at_word("else")) {
    take();
    expect(Tok::FatArrow);
    sw->default_ = parse_node();
  }
  if (!at(Tok::RBrace)) fail(sw->default_ ? "\"}\"" : "\"case\", \"else\" or \"}\"");
  take();
  sw->length = last_end_ - start;
  node->node = std::move(sw);
  leave();
  return finish(std::move(node), start);
}

std::unique_ptr<AstNode> Parser::parse_node() {
  const std::uint32_t start = peek().offset;
  std::unique_ptr<AstNode> n;
  if (at_word("match")) {
    auto tree = parse_match();
    n = std::move(tree->node);
  } else if (at_word("allow") || at_word("deny") || at_word("audit") || at_word("redact")) {
    const std::string w(take().text);
    n = std::make_unique<AstNode>();
    n->kind = DecisionNode::Kind::VerdictLeaf;
    n->verdict = w == "allow" ? Verdict::Allow : w == "deny" ? Verdict::Deny : w == "audit" ? Verdict::Audit : Verdict::Redact;
    if (!at_word("case") && !at_word("else") && !at(Tok::RBrace)) n->expr = parse_expr();
  } else {
    n = std::make_unique<AstNode>();
    n->kind = DecisionNode::Kind::Leaf;
    n->expr = parse_expr();
  }
  n->offset = start;
  n->length = last_end_ - start;
  return n;
}

}  // namespace zelvo::lang
