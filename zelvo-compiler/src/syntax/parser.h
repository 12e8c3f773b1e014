// The parser: tokens -> the syntax tree of the file (syntax/tree.h), by
// recursive descent, one function per statement of the grammar. It reads
// and reports syntax only; lowering to the model is the next stage.
//
// Bounds: every construct that nests (parentheses, lists, calls, unary
// operators, method calls, decision trees) counts against kMaxNesting, so
// the parser's recursion, and that of every later pass over the tree, is
// bounded whatever the input. Chains of binary operators are read by
// loops and kept flat.
//
// Recovery: a syntax error abandons the statement it is in; the parser
// skips to the next statement of the enclosing block (counting brackets)
// and goes on, so every error of a file is reported, up to the sink's
// limit.
#pragma once

#include <cstdint>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "syntax/span.h"
#include "diag/messages.h"
#include "model/policy.h"
#include "syntax/ast.h"
#include "syntax/lexer.h"
#include "syntax/source.h"
#include "syntax/tree.h"

namespace zelvo::lang {

inline constexpr int kMaxNesting = 256;

class Parser {
 public:
  // Expression nodes are made in `arena`, which must outlive the tree.
  Parser(const Source& source, DiagnosticSink& sink, SyntaxArena& arena, std::vector<Comment>* comments);

  // Reads the whole file. The tree is meaningful for lowering whatever
  // the errors; it is complete only when the sink has none.
  PolicySyntax parse_file();

 private:
  struct Abort {};  // a syntax error, already reported: abandon the statement

  // Tokens.
  const Token& peek(std::size_t ahead = 0) {
    if (ahead < ahead_count_) return ahead_[(ahead_first_ + ahead) % kLookahead];
    return read_ahead(ahead);
  }
  // Lexes tokens until `ahead` is looked at.
  const Token& read_ahead(std::size_t ahead);
  // The next token, consumed (inline: a caller that drops it copies nothing).
  Token take() {
    peek();
    Token t = ahead_[ahead_first_];
    ahead_first_ = (ahead_first_ + 1) % kLookahead;
    --ahead_count_;
    count_brackets(t);
    return t;
  }
  void count_brackets(const Token& t) noexcept {
    if (t.kind != Tok::End) last_end_ = t.end();
    switch (t.kind) {
      case Tok::LParen:
      case Tok::LBracket:
      case Tok::LBrace: ++open_; break;
      case Tok::RParen:
      case Tok::RBracket:
      case Tok::RBrace:
        if (open_ > 0) --open_;
        break;
      default: break;
    }
  }
  bool at(Tok kind) { return peek().kind == kind; }
  bool at_word(std::string_view w) { return peek().is_word(w); }
  void expect(Tok kind);
  void expect_word(std::string_view w);
  [[noreturn]] void fail(std::string_view expected, std::string_view suggestion = {});
  // Skips the rest of a broken statement that started with `base`
  // brackets open: up to a stop word or a closing brace with that many
  // brackets open again.
  void skip_statement(std::span<const std::string_view> stops, int base);

  // Declarations (parse_policy.cc).
  void parse_header();
  void parse_meta(bool items_seen);
  void parse_scopes();
  void parse_annotation();
  void parse_compiler_version(const Token& word);
  void parse_source_hash(const Token& word);
  void parse_rule();
  void parse_rule_severity(RuleSyntax& rule, const Token& word);
  void parse_when(RuleSyntax& rule, const Token& word);
  void parse_verdict(RuleSyntax& rule, const Token& word);
  void parse_action(RuleSyntax& rule, const Token& word);
  void parse_constraint();
  void parse_machine();
  void parse_machine_head(StateMachine& head);
  void parse_state(MachineSyntax& m, const Token& word);
  void parse_initial(MachineSyntax& m, const Token& word);
  void parse_state_list(MachineSyntax& m, const Token& word);
  void parse_deadline(MachineSyntax& m, const Token& word);
  void parse_transition(MachineSyntax& m, const Token& word);
  void parse_after_form(MachineSyntax& m);
  StateRef parse_state_ref(StateSlot slot, std::uint32_t index);
  std::string parse_name(std::string_view what);
  Severity parse_severity();
  std::uint64_t parse_uint(std::string_view what, std::uint64_t max);
  std::uint64_t parse_duration_millis();

  // Expressions (parse_expr.cc).
  using ChainOp = std::optional<BinaryOp> (*)(const Token&);
  // One level of left-to-right chains: operands read by `Operand`,
  // joined by the operators `OpAt` recognises (template arguments, so that
  // each level's calls are direct).
  template <ChainOp OpAt, AstPtr (Parser::*Operand)()>
  AstPtr parse_chain();
  AstPtr parse_expr();
  AstPtr parse_or();
  AstPtr parse_and();
  AstPtr parse_not();
  AstPtr parse_cmp();
  AstPtr parse_add();
  AstPtr parse_mul();
  AstPtr parse_neg();
  AstPtr parse_postfix();
  AstPtr parse_primary();
  AstPtr parse_method(AstPtr object, const Token& name);
  AstPtr parse_quantifier(AstPtr object, const Token& name);
  AstPtr parse_count(AstPtr object, const Token& name);
  AstPtr parse_name_ref(const Token& name);
  // An expression read with `bound` as the innermost bound name ("" for
  // none).
  AstPtr parse_in_scope(std::string bound);
  AstPtr parse_match();
  std::unique_ptr<AstNode> parse_node();
  AstList parse_call_args();
  LiteralValue parse_literal_value();
  bool at_literal_value();
  AstPtr field_read(AstPtr object, std::string field, std::uint32_t end);
  void enter(std::uint32_t offset);
  void leave() noexcept { --depth_; }
  AstPtr finish(AstPtr node, std::uint32_t start);
  AstPtr placeholder(std::uint32_t start);
  AstPtr make(Ast::Kind kind, std::uint32_t offset);

  const Source& source_;
  DiagnosticSink& sink_;
  Lexer lexer_;
  // The tokens looked at and not yet taken: a ring of kLookahead, from
  // ahead_first_, ahead_count_ of them.
  static constexpr std::size_t kLookahead = 4;
  std::array<Token, kLookahead> ahead_;
  std::size_t ahead_first_ = 0;
  std::size_t ahead_count_ = 0;
  SyntaxArena& arena_;
  std::uint32_t last_end_ = 0;
  int open_ = 0;  // brackets of any kind opened and not yet closed by the tokens taken
  int depth_ = 0;
  // Names bound by the enclosing quantifiers and counts, innermost last;
  // "" for a count or a quantifier that binds no name.
  std::vector<std::string> scopes_;
  PolicySyntax file_;
  bool seen_source_hash_ = false;
  std::uint32_t last_sync_ = UINT32_MAX;
};

}  // namespace zelvo::lang
