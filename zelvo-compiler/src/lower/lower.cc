#include "lower/lower.h"

#include <algorithm>
#include <span>

namespace zelvo::lang {

namespace {

int literal_depth(const LiteralValue& v) { return v.kind() == LiteralValue::Kind::Duration ? 3 : 2; }

int node_depth(const AstNode& n, bool balanced);

int chain_depth(const Ast& a, bool balanced) {
  const auto& k = a.kids;
  if (balanced && balanceable(a)) {
    struct Half {
      const Ast& a;
      bool balanced;
      int operator()(std::size_t lo, std::size_t hi) const {
        if (hi - lo == 1) return json_depth(*a.kids[lo], balanced);
        const std::size_t mid = lo + (hi - lo) / 2;
        return 2 + std::max((*this)(lo, mid), (*this)(mid, hi));
      }
    };
    return Half{a, balanced}(0, k.size());
  }
  if (a.right_assoc) {
    int d = json_depth(*k.back(), balanced);
    for (std::size_t i = k.size() - 1; i-- > 0;) d = 2 + std::max(d, json_depth(*k[i], balanced));
    return d;
  }
  int d = json_depth(*k[0], balanced);
  for (std::size_t i = 1; i < k.size(); ++i) d = 2 + std::max(d, json_depth(*k[i], balanced));
  return d;
}

int max_kids(const Ast& a, std::size_t from, bool balanced) {
  int d = 0;
  for (std::size_t i = from; i < a.kids.size(); ++i) {
    if (a.kids[i]) d = std::max(d, json_depth(*a.kids[i], balanced));
  }
  return d;
}

int node_depth(const AstNode& n, bool balanced) {
  switch (n.kind) {
    case DecisionNode::Kind::Leaf: return 1 + json_depth(*n.expr, balanced);
    case DecisionNode::Kind::VerdictLeaf: return 2 + (n.expr ? json_depth(*n.expr, balanced) : 0);
    case DecisionNode::Kind::Switch: break;
  }
  int inner = json_depth(*n.expr, balanced);
  int cases = 0;
  for (const AstCase& c : n.cases) {
    int test = 1;
    if (c.kind == CaseTest::Kind::Literal) test = literal_depth(c.literal);
    if (c.kind == CaseTest::Kind::Guard) test = 1 + json_depth(*c.guard, balanced);
    cases = std::max({cases, test, node_depth(*c.body, balanced)});
  }
  inner = std::max(inner, 1 + (n.cases.empty() ? 0 : 1 + cases));
  if (n.default_) inner = std::max(inner, node_depth(*n.default_, balanced));
  return 2 + inner;
}

}  // namespace

int enclosing_depth(Place place) noexcept {
  switch (place) {
    case Place::Condition: return 3;
    case Place::Message: return 5;
    case Place::ActionArg: return 7;
    case Place::Guard: return 6;
  }
  return 7;
}

int json_depth(const Ast& a, bool balanced) {
  switch (a.kind) {
    case Ast::Kind::Literal: return literal_depth(a.literal);
    case Ast::Kind::Ref: return 3;
    case Ast::Kind::Chain: return chain_depth(a, balanced);
    case Ast::Kind::Unary:
    case Ast::Kind::Predicate:
    case Ast::Kind::Quantifier:
    case Ast::Kind::Count:
    case Ast::Kind::List: return 2 + max_kids(a, 0, balanced);
    case Ast::Kind::Call: return 3 + max_kids(a, 0, balanced);
    case Ast::Kind::MethodCall:
      return 2 + std::max(json_depth(*a.kids[0], balanced), 1 + max_kids(a, 1, balanced));
    case Ast::Kind::Decision: return 1 + node_depth(*a.node, balanced);
  }
  return 0;
}

bool float_free(const Ast& a) {
  switch (a.kind) {
    case Ast::Kind::Literal: return a.literal.kind() != LiteralValue::Kind::Float;
    case Ast::Kind::Ref: return false;
    case Ast::Kind::Chain: {
      const BinaryOp op = a.ops[0];
      const bool arithmetic = op == BinaryOp::Add || op == BinaryOp::Sub || op == BinaryOp::Mul ||
                              op == BinaryOp::Div || op == BinaryOp::Mod;
      if (!arithmetic) return true;  // comparisons, in, and, or, implies: Bool
      for (const auto& k : a.kids) {
        if (!float_free(*k)) return false;
      }
      return true;
    }
    case Ast::Kind::Unary: return a.unary == UnaryOp::Not || float_free(*a.kids[0]);
    case Ast::Kind::Predicate:
    case Ast::Kind::Quantifier:
    case Ast::Kind::Count:
    case Ast::Kind::List: return true;
    case Ast::Kind::Call:
      return a.name == "len" || a.name == "length" || a.name == "str" || a.name == "to_string";
    case Ast::Kind::MethodCall:
      // Only the methods a map also answers by name: on a map any other
      // name reads the entry under it, which may hold a Float.
      return a.name == "len" || a.name == "length" || a.name == "keys" || a.name == "values" ||
             a.name == "has_key" || a.name == "contains_key";
    case Ast::Kind::Decision: return false;
  }
  return false;
}

bool balanceable(const Ast& chain) {
  if (chain.kind != Ast::Kind::Chain || chain.right_assoc) return false;
  const BinaryOp op = chain.ops[0];
  for (BinaryOp o : chain.ops) {
    if (o != op) return false;
  }
  if (op == BinaryOp::And || op == BinaryOp::Or) return true;
  if (op != BinaryOp::Add && op != BinaryOp::Mul) return false;
  for (const auto& k : chain.kids) {
    if (!float_free(*k)) return false;
  }
  return true;
}

namespace {

class Builder {
 public:
  Builder(bool balanced, std::vector<Span>* spans) : balanced_(balanced), spans_(spans) {}

  IRExpr expr(Ast& a) {
    note(a.offset, a.length);
    switch (a.kind) {
      case Ast::Kind::Literal: return LiteralExpr{std::move(a.literal)};
      case Ast::Kind::Ref: return IRExpr::Ref{std::move(a.path)};
      case Ast::Kind::Chain: return chain(a);
      case Ast::Kind::Unary: return IRExpr::Unary{a.unary, Box<IRExpr>(expr(*a.kids[0]))};
      case Ast::Kind::Predicate: {
        IRExpr subject = expr(*a.kids[0]);
        IRExpr argument = expr(*a.kids[1]);
        return IRExpr::Predicate{a.predicate, Box<IRExpr>(std::move(subject)), Box<IRExpr>(std::move(argument))};
      }
      case Ast::Kind::Quantifier: {
        IRExpr collection = expr(*a.kids[0]);
        IRExpr body = expr(*a.kids[1]);
        return IRExpr::Quantifier{a.quantifier, Box<IRExpr>(std::move(collection)), Str(a.name),
                                  Box<IRExpr>(std::move(body))};
      }
      case Ast::Kind::Count: {
        IRExpr::Count c{Box<IRExpr>(expr(*a.kids[0])), std::nullopt, std::nullopt};
        if (a.has_param) c.param = Str(a.name);
        if (a.kids[1]) c.filter = Box<IRExpr>(expr(*a.kids[1]));
        return c;
      }
      case Ast::Kind::Call: {
        IRExpr::Call c{Str(a.name), {}};
        for (const auto& k : a.kids) c.args.push_back(expr(*k));
        return c;
      }
      case Ast::Kind::MethodCall: {
        IRExpr::MethodCall c{Box<IRExpr>(expr(*a.kids[0])), Str(a.name), {}};
        for (std::size_t i = 1; i < a.kids.size(); ++i) c.args.push_back(expr(*a.kids[i]));
        return c;
      }
      case Ast::Kind::List: {
        IRExpr::List l;
        for (const auto& k : a.kids) l.items.push_back(expr(*k));
        return l;
      }
      case Ast::Kind::Decision: return IRExpr::DecisionTree{Box<DecisionNode>(node(*a.node))};
    }
    return IRExpr{};
  }

 private:
  void note(std::uint32_t offset, std::uint32_t length) {
    if (spans_ == nullptr) return;
    Span s;
    s.offset = offset;
    s.length = length;
    spans_->push_back(s);
  }

  // The span of kids [lo, hi) of a chain, for an inner node made here.
  void note_range(const Ast& a, std::size_t lo, std::size_t hi) {
    note(a.kids[lo]->offset, a.kids[hi - 1]->end() - a.kids[lo]->offset);
  }

  IRExpr chain(const Ast& a) {
    if (balanced_ && balanceable(a)) return balanced(a, 0, a.kids.size(), true);
    if (a.right_assoc) return right_fold(a, 0, true);
    return left_fold(a, a.kids.size(), true);
  }

  // kids [0, n) folded from the left; the root's span was noted by expr().
  IRExpr left_fold(const Ast& a, std::size_t n, bool root) {
    if (n == 1) return expr(*a.kids[0]);
    if (!root) note_range(a, 0, n);
    IRExpr left = left_fold(a, n - 1, false);
    IRExpr right = expr(*a.kids[n - 1]);
    return IRExpr::Binary{a.ops[n - 2], Box<IRExpr>(std::move(left)), Box<IRExpr>(std::move(right))};
  }

  IRExpr right_fold(const Ast& a, std::size_t i, bool root) {
    if (i + 1 == a.kids.size()) return expr(*a.kids[i]);
    if (!root) note_range(a, i, a.kids.size());
    IRExpr left = expr(*a.kids[i]);
    IRExpr right = right_fold(a, i + 1, false);
    return IRExpr::Binary{a.ops[i], Box<IRExpr>(std::move(left)), Box<IRExpr>(std::move(right))};
  }

  IRExpr balanced(const Ast& a, std::size_t lo, std::size_t hi, bool root) {
    if (hi - lo == 1) return expr(*a.kids[lo]);
    if (!root) note_range(a, lo, hi);
    const std::size_t mid = lo + (hi - lo) / 2;
    IRExpr left = balanced(a, lo, mid, false);
    IRExpr right = balanced(a, mid, hi, false);
    return IRExpr::Binary{a.ops[0], Box<IRExpr>(std::move(left)), Box<IRExpr>(std::move(right))};
  }

  DecisionNode node(const AstNode& n) {
    switch (n.kind) {
      case DecisionNode::Kind::Leaf: return DecisionNode::Leaf{Box<IRExpr>(expr(*n.expr))};
      case DecisionNode::Kind::VerdictLeaf: {
        IRVerdict v;
        v.verdict = n.verdict;
        if (n.expr) v.message = Box<IRExpr>(expr(*n.expr));
        return DecisionNode::VerdictLeaf{std::move(v)};
      }
      case DecisionNode::Kind::Switch: break;
    }
    DecisionNode::Switch s{Box<IRExpr>(expr(*n.expr)), {}, std::nullopt};
    for (const AstCase& c : n.cases) {
      DecisionCase dc;
      switch (c.kind) {
        case CaseTest::Kind::Literal: dc.test = CaseTest::Literal{c.literal}; break;
        case CaseTest::Kind::Constructor: dc.test = CaseTest::Constructor{Str(c.name)}; break;
        case CaseTest::Kind::Guard: dc.test = CaseTest::Guard{Box<IRExpr>(expr(*c.guard))}; break;
      }
      dc.body = node(*c.body);
      s.cases.push_back(std::move(dc));
    }
    if (n.default_) s.default_ = Box<DecisionNode>(node(*n.default_));
    return s;
  }

  bool balanced_;
  std::vector<Span>* spans_;
};

}  // namespace

std::optional<IRExpr> lower_expr(Ast& ast, Place place, const Source&, DiagnosticSink& sink,
                                 std::vector<Span>* spans) {
  const int room = kJsonDepthLimit - enclosing_depth(place);
  bool balanced = false;
  if (json_depth(ast, false) > room) {
    const int depth = json_depth(ast, true);
    if (depth > room) {
      sink.report(Msg::ExpressionTooDeep, ast.offset, {std::to_string(depth), std::to_string(room)},
                  Hint::SplitExpression);
      return std::nullopt;
    }
    balanced = true;
  }
  Builder b(balanced, spans);
  return b.expr(ast);
}

std::vector<Span*> spans_of(SourceMap& map) {
  std::vector<Span*> all;
  for (auto& r : map.rules) {
    all.push_back(&r.span);
    for (Span& s : r.condition) all.push_back(&s);
    for (auto& v : r.verdicts) {
      for (Span& s : v) all.push_back(&s);
    }
    for (auto& a : r.actions) {
      for (auto& arg : a) {
        for (Span& s : arg) all.push_back(&s);
      }
    }
  }
  for (Span& s : map.constraints) all.push_back(&s);
  for (auto& m : map.machines) {
    all.push_back(&m.span);
    for (Span& s : m.states) all.push_back(&s);
    for (Span& s : m.transitions) all.push_back(&s);
    for (auto& g : m.guards) {
      for (Span& s : g) all.push_back(&s);
    }
  }
  return all;
}

namespace {

// Sorts points by their offsets (the upper 32 bits), by two stable passes
// over 16 bits each: linear, where a comparison sort of a large policy's
// hundreds of thousands of points took a tenth of the compilation. The
// order of points at one offset does not matter (they get one position).
void sort_by_offset(std::vector<std::uint64_t>& points) {
  std::vector<std::uint64_t> other(points.size());
  std::vector<std::uint32_t> count(1 << 16);
  for (const int shift : {32, 48}) {
    std::fill(count.begin(), count.end(), 0);
    for (const std::uint64_t p : points) ++count[(p >> shift) & 0xFFFF];
    std::uint32_t sum = 0;
    for (std::uint32_t& c : count) {
      const std::uint32_t n = c;
      c = sum;
      sum += n;
    }
    for (const std::uint64_t p : points) other[count[(p >> shift) & 0xFFFF]++] = p;
    points.swap(other);
  }
}

}  // namespace

void fill_positions(const std::vector<Span*>& all, const Source& source) {
  // Every start and end as (offset << 32 | span index << 1 | is-end), sorted
  // as plain integers, then converted by one sweep over the text.
  std::vector<std::uint64_t> points;
  points.reserve(all.size() * 2);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Span* s = all[i];
    points.push_back(std::uint64_t{s->offset} << 32 | (i << 1));
    points.push_back(std::uint64_t{s->offset + s->length} << 32 | (i << 1) | 1);
  }
  sort_by_offset(points);
  const std::string_view text = source.text();
  const std::span<const std::uint32_t> starts = source.line_starts();
  std::uint32_t line = 1;  // starts[line] is where the next line begins
  std::uint32_t column = 1;
  std::size_t at = 0;
  for (const std::uint64_t p : points) {
    const std::size_t target = std::min<std::size_t>(p >> 32, text.size());
    while (line < starts.size() && starts[line] <= target) {
      at = starts[line++];
      column = 1;
    }
    for (; at < target; ++at) column += (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
    Span* span = all[(p & 0xFFFFFFFF) >> 1];
    if (p & 1) {
      span->end_line = line;
      span->end_column = column;
    } else {
      span->line = line;
      span->column = column;
    }
  }
}

}  // namespace zelvo::lang
