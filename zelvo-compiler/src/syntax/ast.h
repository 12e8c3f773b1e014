// The syntax tree of an expression, as the parser builds it: the model's
// expression kinds, with source spans, and chains of one precedence level
// kept flat (so that no input makes the tree deeper than the parser's
// nesting bound, and the lowering can balance them).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

#include "model/policy.h"

namespace zelvo::lang {

struct Ast;
struct AstNode;

// Expression nodes live in a SyntaxArena: an AstPtr runs the node's
// destructor (its own vectors and strings) and gives no memory back; the
// arena frees all of it at once.
struct AstRelease {
  void operator()(Ast* node) const noexcept;
};
using AstPtr = std::unique_ptr<Ast, AstRelease>;

// The memory of one file's expression nodes and of their lists of
// operands, taken from blocks that grow geometrically: one allocation per
// block instead of one per node or list. It must outlive every AstPtr and
// every AstList made from it.
class SyntaxArena {
 public:
  AstPtr make();
  // A node's lists (operands, operators) take their memory from here too.
  std::pmr::memory_resource* lists() noexcept { return &memory_; }

 private:
  std::pmr::monotonic_buffer_resource memory_{64 * 1024};
};

// A list of operand nodes held in a SyntaxArena.
using AstList = std::pmr::vector<AstPtr>;

struct Ast {
  explicit Ast(std::pmr::memory_resource* lists) : ops(lists), kids(lists) {}

  enum class Kind : std::uint8_t {
    Literal, Ref, Chain, Unary, Predicate, Quantifier, Count, Call, MethodCall, Decision, List
  };
  Kind kind = Kind::Literal;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;

  LiteralValue literal;           // Literal
  RefPath path;                   // Ref
  bool path_open = false;         // Ref: `.name` extends the path (a root, not a bound name)
  std::pmr::vector<BinaryOp> ops; // Chain: ops[i] joins kids[i] and kids[i + 1]
  bool right_assoc = false;       // Chain: folded from the right (implies)
  UnaryOp unary = UnaryOp::Not;
  PredicateKind predicate = PredicateKind::Contains;
  QuantifierKind quantifier = QuantifierKind::All;
  std::string name;               // Call: function; MethodCall: method; Quantifier/Count: param
  bool has_param = false;         // Count
  // Chain: operands; Unary: operand; Predicate: subject, argument;
  // Quantifier: collection, body; Count: collection, filter (null when
  // absent); Call: args; MethodCall: object, args...; List: items.
  AstList kids;
  std::unique_ptr<AstNode> node;  // Decision

  std::uint32_t end() const noexcept { return offset + length; }
};

struct AstCase {
  CaseTest::Kind kind = CaseTest::Kind::Literal;
  LiteralValue literal;           // Literal
  std::string name;               // Constructor
  AstPtr guard;     // Guard
  std::unique_ptr<AstNode> body;
};

struct AstNode {
  DecisionNode::Kind kind = DecisionNode::Kind::Leaf;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  AstPtr expr;      // Switch: subject; Leaf: expression; VerdictLeaf: message (may be null)
  Verdict verdict = Verdict::Allow;
  std::vector<AstCase> cases;
  std::unique_ptr<AstNode> default_;
};

inline void AstRelease::operator()(Ast* node) const noexcept { node->~Ast(); }

inline AstPtr SyntaxArena::make() {
  void* at = memory_.allocate(sizeof(Ast), alignof(Ast));
  return AstPtr(new (at) Ast(&memory_));
}

}  // namespace zelvo::lang
