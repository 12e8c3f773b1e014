// Declarations: the header, metadata, rules, constraints and machines,
// one function per statement.
#include <array>
#include <limits>
#include <new>
#include <type_traits>

#include "diag/suggest.h"
#include "syntax/after_form.h"
#include "syntax/lexical.h"
#include "syntax/parser.h"

namespace zelvo::lang {

namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

constexpr std::array<std::string_view, 8> kTopLevel{
    "rule", "rate_limit", "quota", "machine", "scopes", "annotation", "compiler_version", "source_hash"};
constexpr std::array<std::string_view, 11> kRuleStatements{
    "severity", "when", "allow", "deny", "audit", "redact", "log", "notify", "escalate", "block", "tag"};
constexpr std::array<std::string_view, 6> kMachineStatements{
    "state", "initial", "accepting", "violating", "deadline", "transition"};

template <std::size_t N>
bool one_of(const Token& t, const std::array<std::string_view, N>& words) {
  if (t.kind != Tok::Word) return false;
  for (std::string_view w : words) {
    if (t.text == w) return true;
  }
  return false;
}

bool is_verdict_word(const Token& t) {
  return t.is_word("allow") || t.is_word("deny") || t.is_word("audit") || t.is_word("redact");
}
bool is_action_verb(const Token& t) {
  return t.is_word("log") || t.is_word("notify") || t.is_word("escalate") || t.is_word("block") || t.is_word("tag");
}

Verdict verdict_of(std::string_view w) {
  return w == "allow" ? Verdict::Allow : w == "deny" ? Verdict::Deny : w == "audit" ? Verdict::Audit : Verdict::Redact;
}

ActionVerb verb_of(std::string_view w) {
  return w == "log"        ? ActionVerb::Log
         : w == "notify"   ? ActionVerb::Notify
         : w == "escalate" ? ActionVerb::Escalate
         : w == "block"    ? ActionVerb::Block
                           : ActionVerb::Tag;
}

}  // namespace

Parser::Parser(const Source& source, DiagnosticSink& sink, SyntaxArena& arena, std::vector<Comment>* comments)
    : source_(source), sink_(sink), lexer_(source, sink, comments), arena_(arena) {}

const Token& Parser::read_ahead(std::size_t ahead) {
  // The grammar looks at most three tokens ahead.
  static_assert(std::is_trivially_destructible_v<Token>, "a slot is reused without destroying its token");
  while (ahead_count_ <= ahead) {
    // Constructed in place: the lexer's token is built in its slot, not copied there.
    ::new (static_cast<void*>(&ahead_[(ahead_first_ + ahead_count_) % kLookahead])) Token(lexer_.next());
    ++ahead_count_;
  }
  return ahead_[(ahead_first_ + ahead) % kLookahead];
}

void Parser::fail(std::string_view expected, std::string_view suggestion) {
  const Token& t = peek();
  if (t.kind != Tok::Error) {  // a malformed token was reported already
    if (!suggestion.empty()) {
      sink_.report(Msg::Expected, t.offset, {std::string(expected), describe(t)}, Hint::DidYouMean,
                   {std::string(suggestion)});
    } else {
      sink_.report(Msg::Expected, t.offset, {std::string(expected), describe(t)});
    }
  }
  throw Abort{};
}

void Parser::expect(Tok kind) {
  if (at(kind)) {
    take();
    return;
  }
  fail("\"" + std::string(punctuation_text(kind)) + "\"");
}

void Parser::expect_word(std::string_view w) {
  if (at_word(w)) {
    take();
    return;
  }
  fail("\"" + std::string(w) + "\"");
}

// Skips the rest of a broken statement: up to (not including) a stop word
// or a closing brace at the statement's own bracket level, or the end.
void Parser::skip_statement(std::span<const std::string_view> stops, int base) {
  depth_ = 0;
  scopes_.clear();
  // A statement that failed at its first token made no progress: that
  // token goes, so that recovery always moves on.
  bool forced = peek().offset == last_sync_;
  last_sync_ = peek().offset;
  for (;;) {
    const Token& t = peek();
    if (t.kind == Tok::End) return;
    if (open_ <= base && !forced) {
      if (t.kind == Tok::RBrace) return;
      if (t.kind == Tok::Word) {
        for (std::string_view s : stops) {
          if (t.text == s) return;
        }
      }
    }
    forced = false;
    take();
  }
}

std::string Parser::parse_name(std::string_view what) {
  const Token& t = peek();
  if (t.kind == Tok::String || (t.kind == Tok::Word && is_identifier(t.text))) return std::string(take().text);
  fail(what);
}

Severity Parser::parse_severity() {
  static constexpr std::array<std::string_view, 5> kLevels{"critical", "high", "medium", "low", "info"};
  const Token& t = peek();
  if (t.kind == Tok::Word) {
    for (std::size_t i = 0; i < kLevels.size(); ++i) {
      if (t.text == kLevels[i]) {
        take();
        return static_cast<Severity>(i);
      }
    }
    fail("a severity (critical, high, medium, low or info)", nearest(t.text, kLevels));
  }
  fail("a severity (critical, high, medium, low or info)");
}

std::uint64_t Parser::parse_uint(std::string_view what, std::uint64_t max) {
  const Token& t = peek();
  if (t.kind != Tok::Int) fail(std::string(what) + " (a whole number)");
  const Token n = take();
  if (n.overflow || n.uint > max) {
    sink_.report(Msg::ValueOutOfRange, n.offset, {std::string(what), clip(n.text, 40), std::to_string(max)});
    return 0;
  }
  return n.uint;
}

std::uint64_t Parser::parse_duration_millis() {
  if (!at(Tok::Duration)) fail("a duration (e.g. 30s, 5m)");
  const Token d = take();
  static constexpr std::array<std::uint64_t, 5> kFactor{1, 1000, 60'000, 3'600'000, 86'400'000};
  const std::uint64_t f = kFactor[d.unit];
  if (d.overflow || d.uint > kU64Max / f) {
    sink_.report(Msg::DurationOutOfRange, d.offset, {clip(d.text, 40)});
    return 0;
  }
  return d.uint * f;
}

PolicySyntax Parser::parse_file() {
  if (source_.text().size() > std::numeric_limits<std::uint32_t>::max() - 1) {
    sink_.report(Msg::SourceTooLarge, 0);
    return std::move(file_);
  }
  try {
    parse_header();
  } catch (const Abort&) {
    skip_statement(kTopLevel, 0);
  }
  bool items_seen = false;
  while (!at(Tok::End) && !sink_.full()) {
    try {
      const Token& t = peek();
      if (t.is_word("rule")) {
        items_seen = true;
        parse_rule();
      } else if (t.is_word("rate_limit") || t.is_word("quota")) {
        items_seen = true;
        parse_constraint();
      } else if (t.is_word("machine")) {
        items_seen = true;
        parse_machine();
      } else if (one_of(t, kTopLevel)) {
        parse_meta(items_seen);
      } else {
        fail("\"rule\", \"rate_limit\", \"quota\" or \"machine\"",
             t.kind == Tok::Word ? nearest(t.text, kTopLevel) : std::string());
      }
    } catch (const Abort&) {
      skip_statement(kTopLevel, 0);
      if (at(Tok::RBrace)) take();  // a stray closing brace at the top level
    }
  }
  return std::move(file_);
}

void Parser::parse_header() {
  if (!at_word("policy")) {
    const Token& t = peek();
    fail("\"policy\" and the policy's name", t.kind == Tok::Word ? nearest(t.text, std::array<std::string_view, 1>{"policy"}) : "");
  }
  take();
  if (!at(Tok::String) && !(at(Tok::Word) && is_identifier(peek().text))) fail("the policy's name (a string)");
  file_.head.name = Str(take().text);
  expect_word("severity");
  file_.head.severity = parse_severity();
}

void Parser::parse_meta(bool items_seen) {
  const Token word = take();
  if (items_seen) sink_.report(Msg::MisplacedMetadata, word.offset, {std::string(word.text)});
  if (word.text == "scopes") {
    parse_scopes();
  } else if (word.text == "annotation") {
    parse_annotation();
  } else if (word.text == "compiler_version") {
    parse_compiler_version(word);
  } else if (word.text == "source_hash") {
    parse_source_hash(word);
  } else {
    fail("\"rule\", \"rate_limit\", \"quota\" or \"machine\"");
  }
}

void Parser::parse_scopes() {
  for (;;) {
    if (!at(Tok::String)) fail("a scope (a string)");
    file_.head.scopes.emplace_back(take().text);
    if (!at(Tok::Comma)) break;
    take();
  }
}

void Parser::parse_annotation() {
  if (!at(Tok::String)) fail("the annotation's key (a string)");
  std::string key(take().text);
  expect(Tok::Assign);
  if (!at(Tok::String)) fail("the annotation's value (a string)");
  file_.head.metadata.annotations.emplace_back(Str(key), Str(take().text));
}

void Parser::parse_compiler_version(const Token& word) {
  if (file_.has_compiler_version) sink_.report(Msg::DuplicateClause, word.offset, {std::string(word.text)});
  if (!at(Tok::String)) fail("the compiler version (a string)");
  file_.head.metadata.compiler_version = Str(take().text);
  file_.has_compiler_version = true;
}

void Parser::parse_source_hash(const Token& word) {
  if (seen_source_hash_) sink_.report(Msg::DuplicateClause, word.offset, {std::string(word.text)});
  seen_source_hash_ = true;
  file_.head.metadata.source_hash = parse_uint("source_hash", kU64Max);
}

void Parser::parse_rule() {
  const std::uint32_t start = take().offset;  // "rule"
  RuleSyntax& rule = file_.rules.emplace_back();
  rule.head.id = static_cast<std::uint32_t>(parse_uint("rule id", kU32Max));
  if (at_word("on")) {
    take();
    for (;;) {
      rule.head.on_events.emplace_back(parse_name("an event type (an identifier or a string)"));
      if (!at(Tok::Comma)) break;
      take();
    }
  }
  expect(Tok::LBrace);
  const int base = open_;
  while (!at(Tok::RBrace) && !at(Tok::End) && !sink_.full()) {
    try {
      const Token t = peek();
      if (t.is_word("severity")) {
        parse_rule_severity(rule, t);
      } else if (t.is_word("when")) {
        parse_when(rule, t);
      } else if (is_verdict_word(t)) {
        parse_verdict(rule, t);
      } else if (is_action_verb(t)) {
        parse_action(rule, t);
      } else {
        fail("\"severity\", \"when\", a verdict or an action",
             t.kind == Tok::Word ? nearest(t.text, kRuleStatements) : std::string());
      }
    } catch (const Abort&) {
      skip_statement(kRuleStatements, base);
    }
  }
  expect(Tok::RBrace);
  rule.extent = {start, last_end_ - start};
}

namespace {

bool effects_seen(const RuleSyntax& rule) { return !rule.verdicts.empty() || !rule.actions.empty(); }

}  // namespace

void Parser::parse_rule_severity(RuleSyntax& rule, const Token& word) {
  take();
  if (effects_seen(rule)) sink_.report(Msg::MisplacedClause, word.offset, {std::string(word.text)}, Hint::ClauseFirst);
  if (rule.head.severity) sink_.report(Msg::DuplicateClause, word.offset, {std::string(word.text)});
  rule.head.severity = parse_severity();
}

void Parser::parse_when(RuleSyntax& rule, const Token& word) {
  take();
  if (effects_seen(rule)) sink_.report(Msg::MisplacedClause, word.offset, {std::string(word.text)}, Hint::ClauseFirst);
  if (!rule.conditions.empty()) sink_.report(Msg::DuplicateClause, word.offset, {std::string(word.text)});
  rule.conditions.push_back(parse_expr());
}

void Parser::parse_verdict(RuleSyntax& rule, const Token& word) {
  take();
  VerdictSyntax& v = rule.verdicts.emplace_back();
  v.verdict = verdict_of(word.text);
  const Token& n = peek();
  if (!(n.kind == Tok::RBrace || is_verdict_word(n) || is_action_verb(n) || n.is_word("when") ||
        n.is_word("severity"))) {
    v.message = parse_expr();
  }
}

void Parser::parse_action(RuleSyntax& rule, const Token& word) {
  take();
  ActionSyntax& action = rule.actions.emplace_back();
  action.verb = verb_of(word.text);
  expect(Tok::LParen);
  if (!at(Tok::RParen)) action.args.reserve(4);  // most actions have a few arguments: one allocation
  while (!at(Tok::RParen)) {
    const Token& n = peek();
    if (!(n.kind == Tok::String || n.kind == Tok::Word || n.kind == Tok::Underscore)) fail("an argument name");
    std::string name(take().text);
    expect(Tok::Colon);
    action.args.push_back({std::move(name), parse_expr()});
    if (!at(Tok::Comma)) break;
    take();
  }
  expect(Tok::RParen);
}

void Parser::parse_constraint() {
  const Token kind = take();
  const std::uint32_t start = kind.offset;
  CompiledConstraint c;
  c.kind = kind.text == "rate_limit" ? ConstraintKind::RateLimit : ConstraintKind::Quota;
  c.target = Str(parse_name("the event type to count (an identifier or a string)"));
  c.limit = parse_uint("limit", kU64Max);
  expect_word("per");
  c.window_millis = parse_duration_millis();
  file_.head.constraints.push_back(std::move(c));
  file_.constraints.push_back({start, last_end_ - start});
}

void Parser::parse_machine() {
  const std::uint32_t start = take().offset;  // "machine"
  MachineSyntax& m = file_.machines.emplace_back();
  parse_machine_head(m.head);
  expect(Tok::LBrace);
  bool after_form = false;
  const int base = open_;
  while (!at(Tok::RBrace) && !at(Tok::End) && !sink_.full()) {
    try {
      const Token t = peek();
      if (after_form) fail("\"}\" (an \"after\" form is the whole machine)");
      const bool empty = m.head.states.empty() && m.refs.empty();
      if (t.is_word("after") && empty && !m.deadline_given) {
        after_form = true;
        parse_after_form(m);
      } else if (t.is_word("state")) {
        parse_state(m, t);
      } else if (t.is_word("initial")) {
        parse_initial(m, t);
      } else if (t.is_word("accepting") || t.is_word("violating")) {
        parse_state_list(m, t);
      } else if (t.is_word("deadline")) {
        parse_deadline(m, t);
      } else if (t.is_word("transition")) {
        parse_transition(m, t);
      } else {
        fail(empty ? "\"state\", \"initial\", \"accepting\", \"violating\", \"deadline\", \"transition\" or \"after\""
                   : "\"state\", \"initial\", \"accepting\", \"violating\", \"deadline\" or \"transition\"",
             t.kind == Tok::Word ? nearest(t.text, kMachineStatements) : std::string());
      }
    } catch (const Abort&) {
      // After an "after" form nothing more belongs to the machine: skip to its brace.
      skip_statement(after_form ? std::span<const std::string_view>{} : std::span<const std::string_view>(kMachineStatements), base);
    }
  }
  expect(Tok::RBrace);
  m.extent = {start, last_end_ - start};
}

void Parser::parse_machine_head(StateMachine& head) {
  head.id = static_cast<std::uint32_t>(parse_uint("machine id", kU32Max));
  head.name = Str(parse_name("the machine's name (an identifier or a string)"));
  expect_word("invariant");
  head.invariant_name = Str(parse_name("the invariant's name (an identifier or a string)"));
  static constexpr std::array<std::string_view, 5> kKinds{"always", "eventually", "never", "until", "next"};
  const Token& t = peek();
  for (std::size_t i = 0; t.kind == Tok::Word && i < kKinds.size(); ++i) {
    if (t.text == kKinds[i]) {
      head.kind = static_cast<TemporalKind>(i);
      take();
      return;
    }
  }
  fail("a temporal kind (always, eventually, never, until or next)",
       t.kind == Tok::Word ? nearest(t.text, kKinds) : std::string());
}

StateRef Parser::parse_state_ref(StateSlot slot, std::uint32_t index) {
  StateRef ref;
  ref.slot = slot;
  ref.index = index;
  ref.offset = peek().offset;
  if (at(Tok::Int)) {
    ref.position = static_cast<std::uint32_t>(parse_uint("state position", kU32Max));
  } else {
    ref.by_label = true;
    ref.label = parse_name("a state (its label or its position)");
  }
  return ref;
}

void Parser::parse_state(MachineSyntax& m, const Token& word) {
  take();
  State s;
  s.id = static_cast<std::uint32_t>(m.head.states.size());
  s.label = Str(parse_name("the state's label (an identifier or a string)"));
  static constexpr std::array<std::string_view, 3> kStateKinds{"active", "satisfied", "violated"};
  for (std::size_t i = 0; i < kStateKinds.size(); ++i) {
    if (at_word(kStateKinds[i])) {
      take();
      s.kind = static_cast<StateKind>(i);
      break;
    }
  }
  if (at_word("id")) {
    take();
    s.id = static_cast<std::uint32_t>(parse_uint("state id", kU32Max));
  }
  m.head.states.push_back(std::move(s));
  m.states.push_back({word.offset, last_end_ - word.offset});
}

void Parser::parse_initial(MachineSyntax& m, const Token& word) {
  take();
  if (m.initial_given) sink_.report(Msg::DuplicateClause, word.offset, {std::string(word.text)});
  m.initial_given = true;
  m.refs.push_back(parse_state_ref(StateSlot::Initial, 0));
}

void Parser::parse_state_list(MachineSyntax& m, const Token& word) {
  take();
  const bool accepting = word.text == "accepting";
  std::uint32_t& count = accepting ? m.accepting : m.violating;
  for (;;) {
    m.refs.push_back(parse_state_ref(accepting ? StateSlot::Accepting : StateSlot::Violating, count++));
    if (!at(Tok::Comma)) break;
    take();
  }
}

void Parser::parse_deadline(MachineSyntax& m, const Token& word) {
  take();
  if (m.deadline_given) sink_.report(Msg::DuplicateClause, word.offset, {std::string(word.text)});
  m.deadline_given = true;
  m.head.deadline_millis = parse_duration_millis();
}

void Parser::parse_transition(MachineSyntax& m, const Token& word) {
  take();
  const auto index = static_cast<std::uint32_t>(m.transitions.size());
  StateRef from = parse_state_ref(StateSlot::TransitionFrom, index);
  expect(Tok::Arrow);
  StateRef to = parse_state_ref(StateSlot::TransitionTo, index);
  TransitionSyntax tr;
  if (at_word("when") || at_word("unless")) {
    tr.guard = take().text == "unless" ? TransitionGuard::Kind::NegatedPredicate : TransitionGuard::Kind::Predicate;
    tr.predicate = parse_expr();
  } else if (at_word("on")) {
    take();
    expect_word("timeout");
    tr.guard = TransitionGuard::Kind::Timeout;
  }
  tr.extent = {word.offset, last_end_ - word.offset};
  m.transitions.push_back(std::move(tr));
  m.refs.push_back(std::move(from));
  m.refs.push_back(std::move(to));
}

// `after X deny every later event [when Y]`; X is kept as soon as it is
// read, so that lowering reports on it even when the rest is broken.
void Parser::parse_after_form(MachineSyntax& m) {
  const std::uint32_t start = take().offset;  // "after"
  AfterFormSyntax& form = m.after_form.emplace();
  form.armed = parse_expr();
  form.after = {start, last_end_ - start};
  const std::uint32_t deny_start = peek().offset;
  expect_word("deny");
  expect_word("every");
  expect_word("later");
  expect_word("event");
  if (at_word("when")) {
    take();
    form.denied = parse_expr();
  }
  form.deny = {deny_start, last_end_ - deny_start};
}

}  // namespace zelvo::lang
