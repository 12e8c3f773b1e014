// The parser: tokens -> the compiled model, by recursive descent.
//
// Declarations become model records as they are read; each expression is
// parsed into a syntax tree (syntax/ast.h) and lowered at once
// (lower/lower.h), so that diagnostics come in source order.
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
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compiler.h"
#include "diag/messages.h"
#include "model/policy.h"
#include "syntax/ast.h"
#include "syntax/lexer.h"
#include "syntax/source.h"

namespace zelvo::lang {

inline constexpr int kMaxNesting = 256;

class Parser {
 public:
  Parser(const Source& source, DiagnosticSink& sink, std::vector<Comment>* comments);

  // Reads the whole file. The policy is meaningful only when the sink has
  // no errors.
  void parse_file();

  CompiledPolicy& policy() noexcept { return policy_; }
  SourceMap& source_map() noexcept { return map_; }

 private:
  struct Abort {};  // a syntax error, already reported: abandon the statement

  // Tokens.
  const Token& peek(std::size_t ahead = 0);
  Token take();
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
  void parse_rule();
  void parse_constraint();
  void parse_machine();
  bool parse_after_form(StateMachine& m, SourceMap::Machine& where);
  std::string parse_name(std::string_view what);
  Severity parse_severity();
  std::uint64_t parse_uint(std::string_view what, std::uint64_t max);
  std::uint64_t parse_duration_millis();

  // Expressions (parse_expr.cc).
  std::unique_ptr<Ast> parse_expr();
  std::unique_ptr<Ast> parse_or();
  std::unique_ptr<Ast> parse_and();
  std::unique_ptr<Ast> parse_not();
  std::unique_ptr<Ast> parse_cmp();
  std::unique_ptr<Ast> parse_add();
  std::unique_ptr<Ast> parse_mul();
  std::unique_ptr<Ast> parse_neg();
  std::unique_ptr<Ast> parse_postfix();
  std::unique_ptr<Ast> parse_primary();
  std::unique_ptr<Ast> parse_method(std::unique_ptr<Ast> object, const Token& name);
  std::unique_ptr<Ast> parse_quantifier(std::unique_ptr<Ast> object, const Token& name);
  std::unique_ptr<Ast> parse_count(std::unique_ptr<Ast> object, const Token& name);
  std::unique_ptr<Ast> parse_name_ref(const Token& name);
  std::unique_ptr<Ast> parse_match();
  std::unique_ptr<AstNode> parse_node();
  std::vector<std::unique_ptr<Ast>> parse_call_args();
  LiteralValue parse_literal_value();
  bool at_literal_value();
  std::unique_ptr<Ast> field_read(std::unique_ptr<Ast> object, std::string field, std::uint32_t end);
  void enter(std::uint32_t offset);
  void leave() noexcept { --depth_; }
  std::unique_ptr<Ast> finish(std::unique_ptr<Ast> node, std::uint32_t start);
  std::unique_ptr<Ast> placeholder(std::uint32_t start);

  // Lowering of one expression at its place (lower/lower.h).
  std::optional<IRExpr> lower_at(const Ast& ast, int place, std::vector<Span>* spans);

  const Source& source_;
  DiagnosticSink& sink_;
  Lexer lexer_;
  std::deque<Token> ahead_;
  std::uint32_t last_end_ = 0;
  int open_ = 0;  // brackets of any kind opened and not yet closed by the tokens taken
  int depth_ = 0;
  // Names bound by the enclosing quantifiers and counts, innermost last;
  // "" for a count or a quantifier that binds no name.
  std::vector<std::string> scopes_;
  CompiledPolicy policy_;
  SourceMap map_;
  bool have_compiler_version_ = false;
  bool seen_source_hash_ = false;
  std::uint32_t last_sync_ = UINT32_MAX;
};

}  // namespace zelvo::lang
