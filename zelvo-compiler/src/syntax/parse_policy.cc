// Declarations: the header, metadata, rules, constraints and machines.
#include <array>
#include <limits>

#include "diag/suggest.h"
#include "lower/lower.h"
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

// A span with only offset and length; lines and columns are filled for
// all spans at once (fill_positions).
Span offsets_span(std::uint32_t offset, std::uint32_t length) {
  Span s;
  s.offset = offset;
  s.length = length;
  return s;
}

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

Parser::Parser(const Source& source, DiagnosticSink& sink, std::vector<Comment>* comments)
    : source_(source), sink_(sink), lexer_(source, sink, comments) {}

const Token& Parser::peek(std::size_t ahead) {
  while (ahead_.size() <= ahead) ahead_.push_back(lexer_.next());
  return ahead_[ahead];
}

Token Parser::take() {
  peek();
  Token t = std::move(ahead_.front());
  ahead_.pop_front();
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
  return t;
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
  if (t.kind == Tok::String || (t.kind == Tok::Word && is_identifier(t.text))) return take().text;
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

std::optional<IRExpr> Parser::lower_at(const Ast& ast, int place, std::vector<Span>* spans) {
  return lower_expr(ast, static_cast<Place>(place), source_, sink_, spans);
}

void Parser::parse_file() {
  if (source_.text().size() > std::numeric_limits<std::uint32_t>::max() - 1) {
    sink_.report(Msg::SourceTooLarge, 0);
    return;
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
  if (!have_compiler_version_) policy_.metadata.compiler_version = Str(kCompilerVersion);
}

void Parser::parse_header() {
  if (!at_word("policy")) {
    const Token& t = peek();
    fail("\"policy\" and the policy's name", t.kind == Tok::Word ? nearest(t.text, std::array<std::string_view, 1>{"policy"}) : "");
  }
  take();
  if (!at(Tok::String) && !(at(Tok::Word) && is_identifier(peek().text))) fail("the policy's name (a string)");
  policy_.name = Str(take().text);
  expect_word("severity");
  policy_.severity = parse_severity();
}

void Parser::parse_meta(bool items_seen) {
  const Token word = take();
  if (items_seen) sink_.report(Msg::MisplacedMetadata, word.offset, {word.text});
  if (word.text == "scopes") {
    for (;;) {
      if (!at(Tok::String)) fail("a scope (a string)");
      policy_.scopes.emplace_back(take().text);
      if (!at(Tok::Comma)) break;
      take();
    }
  } else if (word.text == "annotation") {
    if (!at(Tok::String)) fail("the annotation's key (a string)");
    std::string key = take().text;
    expect(Tok::Assign);
    if (!at(Tok::String)) fail("the annotation's value (a string)");
    policy_.metadata.annotations.emplace_back(Str(key), Str(take().text));
  } else if (word.text == "compiler_version") {
    if (have_compiler_version_) sink_.report(Msg::DuplicateClause, word.offset, {word.text});
    if (!at(Tok::String)) fail("the compiler version (a string)");
    policy_.metadata.compiler_version = Str(take().text);
    have_compiler_version_ = true;
  } else if (word.text == "source_hash") {
    if (seen_source_hash_) sink_.report(Msg::DuplicateClause, word.offset, {word.text});
    seen_source_hash_ = true;
    policy_.metadata.source_hash = parse_uint("source_hash", kU64Max);
  } else {
    fail("\"rule\", \"rate_limit\", \"quota\" or \"machine\"");
  }
}

void Parser::parse_rule() {
  const std::uint32_t start = take().offset;  // "rule"
  CompiledRule rule;
  SourceMap::Rule where;
  rule.id = static_cast<std::uint32_t>(parse_uint("rule id", kU32Max));
  if (at_word("on")) {
    take();
    for (;;) {
      rule.on_events.emplace_back(parse_name("an event type (an identifier or a string)"));
      if (!at(Tok::Comma)) break;
      take();
    }
  }
  expect(Tok::LBrace);
  bool effects_seen = false;
  bool severity_seen = false;
  bool ok = true;
  const std::size_t errors_before = sink_.error_count();
  const int base = open_;
  while (!at(Tok::RBrace) && !at(Tok::End) && !sink_.full()) {
    try {
      const Token t = peek();
      if (t.is_word("severity") || t.is_word("when")) {
        take();
        if (effects_seen) sink_.report(Msg::MisplacedClause, t.offset, {t.text}, Hint::ClauseFirst);
        if (t.text == "severity") {
          if (severity_seen) sink_.report(Msg::DuplicateClause, t.offset, {t.text});
          severity_seen = true;
          rule.severity = parse_severity();
        } else {
          if (rule.condition) sink_.report(Msg::DuplicateClause, t.offset, {t.text});
          auto ast = parse_expr();
          where.condition.clear();
          if (auto e = lower_at(*ast, static_cast<int>(Place::Condition), &where.condition)) {
            rule.condition = std::move(*e);
          } else {
            ok = false;
          }
        }
      } else if (is_verdict_word(t)) {
        take();
        effects_seen = true;
        IRVerdict v;
        v.verdict = verdict_of(t.text);
        const Token& n = peek();
        std::vector<Span> spans;
        if (!(n.kind == Tok::RBrace || is_verdict_word(n) || is_action_verb(n) || n.is_word("when") ||
              n.is_word("severity"))) {
          auto ast = parse_expr();
          if (auto e = lower_at(*ast, static_cast<int>(Place::Message), &spans)) {
            v.message = Box<IRExpr>(std::move(*e));
          } else {
            ok = false;
          }
        }
        rule.verdicts.push_back(std::move(v));
        where.verdicts.push_back(std::move(spans));
      } else if (is_action_verb(t)) {
        take();
        effects_seen = true;
        IRAction action;
        action.verb = verb_of(t.text);
        expect(Tok::LParen);
        std::vector<std::vector<Span>> arg_spans;
        while (!at(Tok::RParen)) {
          const Token& n = peek();
          if (!(n.kind == Tok::String || n.kind == Tok::Word || n.kind == Tok::Underscore)) fail("an argument name");
          std::string name = take().text;
          expect(Tok::Colon);
          auto ast = parse_expr();
          arg_spans.emplace_back();
          if (auto e = lower_at(*ast, static_cast<int>(Place::ActionArg), &arg_spans.back())) {
            action.args.emplace_back(Str(name), Box<IRExpr>(std::move(*e)));
          } else {
            ok = false;
          }
          if (!at(Tok::Comma)) break;
          take();
        }
        expect(Tok::RParen);
        rule.actions.push_back(std::move(action));
        where.actions.push_back(std::move(arg_spans));
      } else {
        fail("\"severity\", \"when\", a verdict or an action",
             t.kind == Tok::Word ? nearest(t.text, kRuleStatements) : std::string());
      }
    } catch (const Abort&) {
      ok = false;
      skip_statement(kRuleStatements, base);
    }
  }
  expect(Tok::RBrace);
  if (!ok || sink_.error_count() != errors_before) return;
  where.span = offsets_span(start, last_end_ - start);
  policy_.rules.push_back(std::move(rule));
  map_.rules.push_back(std::move(where));
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
  policy_.constraints.push_back(std::move(c));
  map_.constraints.push_back(offsets_span(start, last_end_ - start));
}

void Parser::parse_machine() {
  const std::uint32_t start = take().offset;  // "machine"
  StateMachine m;
  SourceMap::Machine where;
  m.id = static_cast<std::uint32_t>(parse_uint("machine id", kU32Max));
  m.name = Str(parse_name("the machine's name (an identifier or a string)"));
  expect_word("invariant");
  m.invariant_name = Str(parse_name("the invariant's name (an identifier or a string)"));
  static constexpr std::array<std::string_view, 5> kKinds{"always", "eventually", "never", "until", "next"};
  {
    const Token& t = peek();
    bool found = false;
    for (std::size_t i = 0; t.kind == Tok::Word && i < kKinds.size(); ++i) {
      if (t.text == kKinds[i]) {
        m.kind = static_cast<TemporalKind>(i);
        found = true;
      }
    }
    if (!found) {
      fail("a temporal kind (always, eventually, never, until or next)",
           t.kind == Tok::Word ? nearest(t.text, kKinds) : std::string());
    }
    take();
  }
  expect(Tok::LBrace);

  // State references are resolved once every state is known.
  struct Ref {
    bool by_label;
    std::uint32_t position;
    std::string label;
    std::uint32_t offset;
  };
  struct Pending {
    Ref ref;
    int list;   // 0 initial, 1 accepting, 2 violating, 3 transition from, 4 transition to
    std::size_t index;
  };
  std::vector<Pending> pending;
  bool ok = true;
  const std::size_t errors_before = sink_.error_count();
  auto read_ref = [&]() -> Ref {
    const Token& t = peek();
    if (t.kind == Tok::Int) {
      const std::uint32_t off = t.offset;
      return {false, static_cast<std::uint32_t>(parse_uint("state position", kU32Max)), {}, off};
    }
    const std::uint32_t off = t.offset;
    std::string label = parse_name("a state (its label or its position)");
    return {true, 0, std::move(label), off};
  };
  bool initial_seen = false;
  bool deadline_seen = false;
  bool after_form = false;
  const int base = open_;
  while (!at(Tok::RBrace) && !at(Tok::End) && !sink_.full()) {
    try {
      const Token t = peek();
      if (after_form) fail("\"}\" (an \"after\" form is the whole machine)");
      if (t.is_word("after") && m.states.empty() && pending.empty() && !deadline_seen) {
        after_form = true;
        ok = parse_after_form(m, where) && ok;
      } else if (t.is_word("state")) {
        take();
        const std::uint32_t sstart = t.offset;
        State s;
        s.id = static_cast<std::uint32_t>(m.states.size());
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
        m.states.push_back(std::move(s));
        where.states.push_back(offsets_span(sstart, last_end_ - sstart));
      } else if (t.is_word("initial")) {
        take();
        if (initial_seen) sink_.report(Msg::DuplicateClause, t.offset, {t.text});
        initial_seen = true;
        pending.push_back({read_ref(), 0, 0});
      } else if (t.is_word("accepting") || t.is_word("violating")) {
        take();
        const int list = t.text == "accepting" ? 1 : 2;
        for (;;) {
          auto& states = list == 1 ? m.accepting_states : m.violating_states;
          states.push_back(0);
          pending.push_back({read_ref(), list, states.size() - 1});
          if (!at(Tok::Comma)) break;
          take();
        }
      } else if (t.is_word("deadline")) {
        take();
        if (deadline_seen) sink_.report(Msg::DuplicateClause, t.offset, {t.text});
        deadline_seen = true;
        m.deadline_millis = parse_duration_millis();
      } else if (t.is_word("transition")) {
        take();
        const std::uint32_t tstart = t.offset;
        Transition tr;
        Ref from = read_ref();
        expect(Tok::Arrow);
        Ref to = read_ref();
        std::vector<Span> guard_spans;
        if (at_word("when") || at_word("unless")) {
          const bool negated = take().text == "unless";
          tr.guard.kind = negated ? TransitionGuard::Kind::NegatedPredicate : TransitionGuard::Kind::Predicate;
          auto ast = parse_expr();
          if (auto e = lower_at(*ast, static_cast<int>(Place::Guard), &guard_spans)) {
            tr.guard.expr = Box<IRExpr>(std::move(*e));
          } else {
            ok = false;
          }
        } else if (at_word("on")) {
          take();
          expect_word("timeout");
          tr.guard.kind = TransitionGuard::Kind::Timeout;
        } else {
          tr.guard.kind = TransitionGuard::Kind::Always;
        }
        m.transitions.push_back(std::move(tr));
        pending.push_back({std::move(from), 3, m.transitions.size() - 1});
        pending.push_back({std::move(to), 4, m.transitions.size() - 1});
        where.transitions.push_back(offsets_span(tstart, last_end_ - tstart));
        where.guards.push_back(std::move(guard_spans));
      } else {
        fail(m.states.empty() && pending.empty() ? "\"state\", \"initial\", \"accepting\", \"violating\", \"deadline\", \"transition\" or \"after\""
                                                 : "\"state\", \"initial\", \"accepting\", \"violating\", \"deadline\" or \"transition\"",
             t.kind == Tok::Word ? nearest(t.text, kMachineStatements) : std::string());
      }
    } catch (const Abort&) {
      ok = false;
      // After an "after" form nothing more belongs to the machine: skip to its brace.
      skip_statement(after_form ? std::span<const std::string_view>{} : std::span<const std::string_view>(kMachineStatements), base);
    }
  }
  expect(Tok::RBrace);
  for (Pending& p : pending) {
    std::uint32_t position = p.ref.position;
    if (p.ref.by_label) {
      std::size_t matches = 0;
      std::vector<std::string> labels;
      for (std::size_t i = 0; i < m.states.size(); ++i) {
        labels.emplace_back(m.states[i].label.view());
        if (m.states[i].label.view() == p.ref.label) {
          if (matches == 0) position = static_cast<std::uint32_t>(i);
          ++matches;
        }
      }
      if (matches == 0) {
        const std::string near = nearest(p.ref.label, labels);
        if (near.empty()) {
          sink_.report(Msg::UnknownState, p.ref.offset, {p.ref.label});
        } else {
          sink_.report(Msg::UnknownState, p.ref.offset, {p.ref.label}, Hint::DidYouMean, {near});
        }
        ok = false;
      } else if (matches > 1) {
        sink_.report(Msg::AmbiguousState, p.ref.offset, {std::to_string(matches), p.ref.label}, Hint::StateByPosition,
                     {std::to_string(position)});
        ok = false;
      }
    }
    switch (p.list) {
      case 0: m.initial_state = position; break;
      case 1: m.accepting_states[p.index] = position; break;
      case 2: m.violating_states[p.index] = position; break;
      case 3: m.transitions[p.index].from = position; break;
      default: m.transitions[p.index].to = position; break;
    }
  }
  if (!ok || sink_.error_count() != errors_before) return;
  where.span = offsets_span(start, last_end_ - start);
  policy_.state_machines.push_back(std::move(m));
  map_.machines.push_back(std::move(where));
}

// `after X deny every later event [when Y]`: the whole machine, lowered to
// three active states, "before" (initial), "after" and "denying" (the
// violating one), and the transitions before -> after when X,
// after -> denying and denying -> denying, both when Y (or always). Every
// later Y re-enters the violating state, so each one reports and is denied.
// The printer gives the form back for exactly this shape (print_policy.cc).
bool Parser::parse_after_form(StateMachine& m, SourceMap::Machine& where) {
  const std::uint32_t start = take().offset;  // "after"
  std::vector<Span> x_spans;
  auto x_ast = parse_expr();
  std::optional<IRExpr> x = lower_at(*x_ast, static_cast<int>(Place::Guard), &x_spans);
  const Span after_span = offsets_span(start, last_end_ - start);
  const std::uint32_t deny_start = peek().offset;
  expect_word("deny");
  expect_word("every");
  expect_word("later");
  expect_word("event");
  std::optional<IRExpr> y;
  std::vector<Span> y_spans;
  const bool every = !at_word("when");
  if (!every) {
    take();
    auto y_ast = parse_expr();
    y = lower_at(*y_ast, static_cast<int>(Place::Guard), &y_spans);
    if (!y) return false;
  }
  if (!x) return false;
  const Span deny_span = offsets_span(deny_start, last_end_ - deny_start);
  for (std::uint32_t i = 0; i < kAfterFormLabels.size(); ++i) {
    State s;
    s.id = i;
    s.label = Str(kAfterFormLabels[i]);
    m.states.push_back(std::move(s));
    where.states.push_back(i < 2 ? after_span : deny_span);
  }
  m.violating_states.push_back(2);
  Transition armed;
  armed.from = 0;
  armed.to = 1;
  armed.guard.kind = TransitionGuard::Kind::Predicate;
  armed.guard.expr = Box<IRExpr>(std::move(*x));
  m.transitions.push_back(std::move(armed));
  where.transitions.push_back(after_span);
  where.guards.push_back(std::move(x_spans));
  for (std::uint32_t from : {1u, 2u}) {
    Transition deny;
    deny.from = from;
    deny.to = 2;
    deny.guard.kind = every ? TransitionGuard::Kind::Always : TransitionGuard::Kind::Predicate;
    if (!every) deny.guard.expr = Box<IRExpr>(*y);
    m.transitions.push_back(std::move(deny));
    where.transitions.push_back(deny_span);
    where.guards.push_back(every ? std::vector<Span>{} : y_spans);
  }
  return true;
}

}  // namespace zelvo::lang
