// The checks of meaning over a compiled policy and its source map. Each
// finding is reported at the place the source map gives for the record or
// sub-expression concerned.
#include "check/check.h"

#include <algorithm>
#include <map>

#include "compiler.h"
#include "diag/messages.h"
#include "diag/suggest.h"
#include "syntax/source.h"

namespace zelvo::lang {

namespace {

std::string quoted_list(const std::vector<std::string>& names, const char* last = " and ") {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? last : ", ";
    out += "\"" + names[i] + "\"";
  }
  return out;
}

std::string type_words(std::uint8_t types) {
  static const std::pair<std::uint8_t, const char*> kWords[] = {
      {kStringType, "a string"}, {kIntType, "an integer"}, {kNumberType, "a number"}, {kBoolType, "a boolean"},
      {kListType, "a list"},     {kMapType, "a map"},      {kNullType, "null"},
  };
  std::vector<std::string> words;
  for (const auto& [bit, word] : kWords) {
    if (types & bit) words.emplace_back(word);
  }
  if (types == 0x80) return "a duration";
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) out += (i ? " or " : "") + words[i];
  return out;
}

// The classes of values a type set may hold, as the evaluator tells them
// apart: numbers (integers are numbers), strings, booleans, null, lists,
// maps, durations (0x80).
constexpr std::uint8_t kDurationClass = 0x80;

std::uint8_t value_classes(std::uint8_t types) {
  std::uint8_t c = types;
  if (c & kIntType) c = static_cast<std::uint8_t>((c & ~kIntType) | kNumberType);
  return c;
}

class Checker {
 public:
  Checker(const CompiledPolicy& p, const SourceMap& map, const Schema* schema, DiagnosticSink& sink)
      : p_(p), map_(map), schema_(schema), sink_(sink) {}

  void run() {
    rules();
    constraints();
    machines();
  }

 private:
  // --- Rules -------------------------------------------------------------
  void rules() {
    std::map<std::uint32_t, std::size_t> first_with_id;
    for (std::size_t i = 0; i < p_.rules.size(); ++i) {
      const CompiledRule& r = p_.rules[i];
      const SourceMap::Rule& where = map_.rules[i];
      auto [it, fresh] = first_with_id.emplace(r.id, i);
      if (!fresh) {
        sink_.report(Msg::DuplicateRuleId, where.span.offset,
                     {std::to_string(r.id), std::to_string(map_.rules[it->second].span.line)});
      }
      if (r.verdicts.empty() && r.actions.empty()) {
        sink_.report(Msg::RuleWithoutEffect, where.span.offset, {std::to_string(r.id)});
      }
      std::vector<std::string> types = applicable_types(r, where);
      if (r.condition) walk(*r.condition, where.condition, types);
      for (std::size_t v = 0; v < r.verdicts.size(); ++v) {
        if (r.verdicts[v].message) walk(**r.verdicts[v].message, where.verdicts[v], types);
      }
      for (std::size_t a = 0; a < r.actions.size(); ++a) {
        for (std::size_t k = 0; k < r.actions[a].args.size(); ++k) {
          walk(*r.actions[a].args[k].second, where.actions[a][k], types);
        }
      }
    }
  }

  // The schema's event types the rule applies to (all, for no `on`);
  // reports rules no type of the schema can reach.
  std::vector<std::string> applicable_types(const CompiledRule& r, const SourceMap::Rule& where) {
    std::vector<std::string> types;
    if (schema_ == nullptr) return types;
    if (r.on_events.empty()) {
      for (const auto& [name, fields] : schema_->events) types.push_back(name);
      return types;
    }
    std::vector<std::string> unknown;
    for (const Str& e : r.on_events) {
      if (schema_->events.count(e.view()) != 0) {
        types.emplace_back(e.view());
      } else {
        unknown.emplace_back(e.view());
      }
    }
    if (types.empty()) {
      sink_.report(Msg::UnreachableRule, where.span.offset, {std::to_string(r.id), quoted_list(unknown, " or ")});
    } else {
      for (const std::string& u : unknown) {
        sink_.report(Msg::ConstraintUnknownEvent, where.span.offset, {u}, Hint::NoSourceFor, {u});
      }
    }
    return types;
  }

  // --- Expressions -------------------------------------------------------
  // Walks an expression in pre-order with its spans; `types` are the event
  // types it may see (none without a schema).
  void walk(const IRExpr& root, const std::vector<Span>& spans, const std::vector<std::string>& types) {
    spans_ = &spans;
    next_ = 0;
    types_ = &types;
    expr(root);
  }

  std::uint32_t offset_of(std::size_t number) const {
    return number < spans_->size() ? (*spans_)[number].offset : 0;
  }

  void expr(const IRExpr& e) {
    const std::size_t number = next_++;
    switch (e.kind()) {
      case IRExpr::Kind::Literal: return;
      case IRExpr::Kind::Ref: return reference(std::get<IRExpr::Ref>(e.v).path, number);
      case IRExpr::Kind::Binary: {
        const auto& b = std::get<IRExpr::Binary>(e.v);
        comparison(b, number);
        expr(*b.left);
        return expr(*b.right);
      }
      case IRExpr::Kind::Unary: return expr(*std::get<IRExpr::Unary>(e.v).operand);
      case IRExpr::Kind::Predicate: {
        const auto& x = std::get<IRExpr::Predicate>(e.v);
        if (x.kind == PredicateKind::Matches) pattern_argument(*x.argument, number + 1 + size(*x.subject));
        expr(*x.subject);
        return expr(*x.argument);
      }
      case IRExpr::Kind::Quantifier: {
        const auto& x = std::get<IRExpr::Quantifier>(e.v);
        expr(*x.collection);
        return expr(*x.body);
      }
      case IRExpr::Kind::Count: {
        const auto& x = std::get<IRExpr::Count>(e.v);
        expr(*x.collection);
        if (x.filter) expr(**x.filter);
        return;
      }
      case IRExpr::Kind::Call:
        for (const IRExpr& a : std::get<IRExpr::Call>(e.v).args) expr(a);
        return;
      case IRExpr::Kind::MethodCall: {
        const auto& x = std::get<IRExpr::MethodCall>(e.v);
        expr(*x.object);
        for (const IRExpr& a : x.args) expr(a);
        return;
      }
      case IRExpr::Kind::DecisionTree: return node(*std::get<IRExpr::DecisionTree>(e.v).node);
      case IRExpr::Kind::List:
        for (const IRExpr& a : std::get<IRExpr::List>(e.v).items) expr(a);
        return;
    }
  }

  void node(const DecisionNode& n) {
    if (const auto* l = std::get_if<DecisionNode::Leaf>(&n.v)) return expr(*l->expr);
    if (const auto* v = std::get_if<DecisionNode::VerdictLeaf>(&n.v)) {
      if (v->verdict.message) expr(**v->verdict.message);
      return;
    }
    const auto& s = std::get<DecisionNode::Switch>(n.v);
    expr(*s.subject);
    for (const DecisionCase& c : s.cases) {
      if (const auto* g = std::get_if<CaseTest::Guard>(&c.test.v)) expr(*g->expr);
      node(c.body);
    }
    if (s.default_) node(**s.default_);
  }

  // A pattern that is not a pattern literal escapes the compiler's check
  // of what a regular-expression reader would misread.
  void pattern_argument(const IRExpr& argument, std::size_t number) {
    if (const auto* l = std::get_if<IRExpr::Literal>(&argument.v)) {
      if (l->value.kind() == LiteralValue::Kind::Regex) return;
    }
    sink_.report(Msg::ComputedPattern, offset_of(number), {}, Hint::PatternLiteral);
  }

  // The schema of an event field path in one event type: the field, or
  // null when the path cannot exist (`missing_at` = the fields that do);
  // `open` when the schema does not say.
  struct Lookup {
    const FieldSchema* field = nullptr;
    bool open = false;
    std::size_t missing_at = 0;
  };

  Lookup lookup(const FieldSchema& event_fields, const std::vector<Str>& path) const {
    const FieldSchema* at = &event_fields;
    for (std::size_t i = 0; i < path.size(); ++i) {
      if (at->types != kAnyType && !(at->types & kMapType)) return {nullptr, false, i};
      auto it = at->properties.find(path[i].view());
      if (it == at->properties.end()) {
        if (!at->closed) return {nullptr, true, i};
        return {nullptr, false, i};
      }
      at = &it->second;
    }
    return {at, false, path.size()};
  }

  // The first property of `parent` that is an object the schema says
  // nothing of (FieldSchema::described), or "" when there is none.
  static std::string open_sibling(const FieldSchema& parent) {
    for (const auto& [name, f] : parent.properties) {
      if ((f.types & kMapType) != 0 && !f.described) {
        return name;
      }
    }
    return "";
  }

  static std::string dotted(const std::vector<Str>& path, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n && i < path.size(); ++i) out += (i ? "." : "") + std::string(path[i].view());
    return out;
  }

  void reference(const RefPath& path, std::size_t number) {
    if (schema_ == nullptr || path.root.kind != RefRoot::Kind::Event || path.fields.empty() || types_->empty()) return;
    std::size_t deepest = 0;
    const FieldSchema* deepest_parent = nullptr;
    for (const std::string& type : *types_) {
      const FieldSchema& fields = schema_->events.find(type)->second;
      const Lookup l = lookup(fields, path.fields);
      if (l.field != nullptr || l.open) return;  // some event type can have it
      if (l.missing_at >= deepest) {
        deepest = l.missing_at;
        deepest_parent = &fields;
        for (std::size_t i = 0; i < l.missing_at; ++i) {
          deepest_parent = &deepest_parent->properties.find(path.fields[i].view())->second;
        }
      }
    }
    const std::string owner = types_->size() == 1 ? "event type \"" + types_->front() + "\" has"
                                                  : "event types " + quoted_list(*types_) + " have";
    const std::string field = dotted(path.fields, path.fields.size());
    std::vector<std::string> siblings;
    if (deepest_parent != nullptr) {
      for (const auto& [name, f] : deepest_parent->properties) siblings.push_back(name);
    }
    std::string near = deepest < path.fields.size() ? nearest(path.fields[deepest].view(), siblings) : "";
    std::string rest;
    if (near.empty() && deepest < path.fields.size() && deepest_parent != nullptr) {
      // No sibling is spelt alike: the field may belong inside an open
      // object beside it (a tool's arguments), `event.arguments.command`
      // for `event.command`.
      near = open_sibling(*deepest_parent);
      if (!near.empty()) {
        for (std::size_t i = deepest; i < path.fields.size(); ++i) rest += "." + std::string(path.fields[i].view());
      }
    }
    if (!near.empty()) {
      std::string suggestion = "event.";
      if (deepest > 0) suggestion += dotted(path.fields, deepest) + ".";
      suggestion += near + rest;
      sink_.report(Msg::SchemaUnknownField, offset_of(number), {owner, field}, Hint::DidYouMean, {suggestion});
    } else {
      sink_.report(Msg::SchemaUnknownField, offset_of(number), {owner, field});
    }
  }

  // The value classes an operand may have, or 0 when anything goes.
  std::uint8_t classes_of(const IRExpr& e) const {
    if (const auto* l = std::get_if<IRExpr::Literal>(&e.v)) {
      switch (l->value.kind()) {
        case LiteralValue::Kind::Bool: return kBoolType;
        case LiteralValue::Kind::Int:
        case LiteralValue::Kind::Float: return kNumberType;
        case LiteralValue::Kind::String:
        case LiteralValue::Kind::Regex: return kStringType;
        case LiteralValue::Kind::Duration: return kDurationClass;
      }
    }
    if (std::holds_alternative<IRExpr::List>(e.v)) return kListType;
    const auto* r = std::get_if<IRExpr::Ref>(&e.v);
    if (schema_ == nullptr || r == nullptr || r->path.root.kind != RefRoot::Kind::Event || r->path.fields.empty() ||
        types_->empty()) {
      return 0;
    }
    std::uint8_t classes = 0;
    bool anywhere = false;
    for (const std::string& type : *types_) {
      const Lookup l = lookup(schema_->events.find(type)->second, r->path.fields);
      if (l.open || (l.field != nullptr && l.field->types == kAnyType)) return 0;
      anywhere = anywhere || l.field != nullptr;
      // A missing field reads as null.
      classes |= l.field == nullptr ? static_cast<std::uint8_t>(kNullType) : value_classes(l.field->types);
    }
    return anywhere ? classes : 0;  // a field no type has is reported as unknown instead
  }

  void comparison(const IRExpr::Binary& b, std::size_t number) {
    const bool equality = b.op == BinaryOp::Eq;
    const bool ordering = b.op == BinaryOp::Lt || b.op == BinaryOp::Le || b.op == BinaryOp::Gt || b.op == BinaryOp::Ge;
    if (!equality && !ordering) return;
    const std::uint8_t l = classes_of(*b.left);
    const std::uint8_t r = classes_of(*b.right);
    if (l == 0 || r == 0) return;
    // Equality holds only within one class (lists and maps are never
    // equal); ordering only between numbers, strings or durations.
    const std::uint8_t comparable = equality ? (kNullType | kBoolType | kNumberType | kStringType | kDurationClass)
                                             : (kNumberType | kStringType | kDurationClass);
    if ((l & r & comparable) != 0) return;
    const std::size_t left_number = number + 1;
    const std::size_t right_number = left_number + size(*b.left);
    sink_.report(Msg::SchemaNeverHolds, offset_of(number),
                 {text_of(left_number), type_words(l), text_of(right_number), type_words(r)});
  }

  std::string text_of(std::size_t number) const {
    if (number >= spans_->size()) return "the operand";
    const Span& s = (*spans_)[number];
    return std::string(source_text_.substr(s.offset, std::min<std::size_t>(s.length, 60)));
  }

  // The number of pre-order nodes of an expression.
  static std::size_t size(const IRExpr& e) {
    std::size_t n = 1;
    switch (e.kind()) {
      case IRExpr::Kind::Literal:
      case IRExpr::Kind::Ref: return n;
      case IRExpr::Kind::Binary: {
        const auto& b = std::get<IRExpr::Binary>(e.v);
        return n + size(*b.left) + size(*b.right);
      }
      case IRExpr::Kind::Unary: return n + size(*std::get<IRExpr::Unary>(e.v).operand);
      case IRExpr::Kind::Predicate: {
        const auto& x = std::get<IRExpr::Predicate>(e.v);
        return n + size(*x.subject) + size(*x.argument);
      }
      case IRExpr::Kind::Quantifier: {
        const auto& x = std::get<IRExpr::Quantifier>(e.v);
        return n + size(*x.collection) + size(*x.body);
      }
      case IRExpr::Kind::Count: {
        const auto& x = std::get<IRExpr::Count>(e.v);
        return n + size(*x.collection) + (x.filter ? size(**x.filter) : 0);
      }
      case IRExpr::Kind::Call:
        for (const IRExpr& a : std::get<IRExpr::Call>(e.v).args) n += size(a);
        return n;
      case IRExpr::Kind::MethodCall: {
        const auto& x = std::get<IRExpr::MethodCall>(e.v);
        n += size(*x.object);
        for (const IRExpr& a : x.args) n += size(a);
        return n;
      }
      case IRExpr::Kind::DecisionTree: return n + node_size(*std::get<IRExpr::DecisionTree>(e.v).node);
      case IRExpr::Kind::List:
        for (const IRExpr& a : std::get<IRExpr::List>(e.v).items) n += size(a);
        return n;
    }
    return n;
  }

  static std::size_t node_size(const DecisionNode& d) {
    if (const auto* l = std::get_if<DecisionNode::Leaf>(&d.v)) return size(*l->expr);
    if (const auto* v = std::get_if<DecisionNode::VerdictLeaf>(&d.v)) {
      return v->verdict.message ? size(**v->verdict.message) : 0;
    }
    const auto& s = std::get<DecisionNode::Switch>(d.v);
    std::size_t n = size(*s.subject);
    for (const DecisionCase& c : s.cases) {
      if (const auto* g = std::get_if<CaseTest::Guard>(&c.test.v)) n += size(*g->expr);
      n += node_size(c.body);
    }
    if (s.default_) n += node_size(**s.default_);
    return n;
  }

  // --- Constraints and machines -----------------------------------------
  void constraints() {
    if (schema_ == nullptr) return;
    for (std::size_t i = 0; i < p_.constraints.size(); ++i) {
      const std::string target(p_.constraints[i].target.view());
      if (schema_->events.count(target) == 0) {
        sink_.report(Msg::ConstraintUnknownEvent, map_.constraints[i].offset, {target}, Hint::NoSourceFor, {target});
      }
    }
  }

  void machines() {
    for (std::size_t i = 0; i < p_.state_machines.size(); ++i) {
      const StateMachine& m = p_.state_machines[i];
      const SourceMap::Machine& where = map_.machines[i];
      const std::size_t n = m.states.size();
      const std::string count = std::to_string(n);
      std::map<std::uint32_t, std::size_t> ids;
      for (std::size_t s = 0; s < n; ++s) {
        auto [it, fresh] = ids.emplace(m.states[s].id, s);
        if (!fresh) {
          sink_.report(Msg::DuplicateStateId, where.states[s].offset,
                       {std::to_string(m.states[s].id), std::string(m.states[it->second].label.view())});
        }
      }
      auto check_position = [&](std::uint32_t position, std::uint32_t offset) {
        if (position >= n) sink_.report(Msg::StateOutOfRange, offset, {std::to_string(position), count});
      };
      check_position(m.initial_state, where.span.offset);
      for (std::uint32_t a : m.accepting_states) check_position(a, where.span.offset);
      for (std::uint32_t v : m.violating_states) check_position(v, where.span.offset);
      for (std::size_t t = 0; t < m.transitions.size(); ++t) {
        check_position(m.transitions[t].from, where.transitions[t].offset);
        check_position(m.transitions[t].to, where.transitions[t].offset);
        if (m.transitions[t].guard.expr) {
          std::vector<std::string> all;
          if (schema_ != nullptr) {
            for (const auto& [name, f] : schema_->events) all.push_back(name);
          }
          walk(**m.transitions[t].guard.expr, where.guards[t], all);
        }
      }
      // Reachability from the initial state, over every transition whatever its guard.
      if (m.initial_state >= n) continue;
      std::vector<bool> seen(n, false);
      std::vector<std::uint32_t> todo{m.initial_state};
      seen[m.initial_state] = true;
      while (!todo.empty()) {
        const std::uint32_t s = todo.back();
        todo.pop_back();
        if (m.states[s].kind != StateKind::Active) continue;  // final states take no transitions
        for (const Transition& tr : m.transitions) {
          if (tr.from == s && tr.to < n && !seen[tr.to]) {
            seen[tr.to] = true;
            todo.push_back(tr.to);
          }
        }
      }
      for (std::size_t s = 0; s < n; ++s) {
        if (!seen[s]) {
          sink_.report(Msg::UnreachableState, where.states[s].offset, {std::string(m.states[s].label.view())});
        }
      }
    }
  }

 public:
  std::string_view source_text_;

 private:
  const CompiledPolicy& p_;
  const SourceMap& map_;
  const Schema* schema_;
  DiagnosticSink& sink_;
  const std::vector<Span>* spans_ = nullptr;
  const std::vector<std::string>* types_ = nullptr;
  std::size_t next_ = 0;
};

}  // namespace

std::vector<Diagnostic> check(std::string_view text, std::string_view filename, const Schema* schema) {
  CompileResult compiled = compile(text, filename);
  if (!compiled.policy) return std::move(compiled.diagnostics);
  const Source source(text, filename);
  DiagnosticSink sink(source, SIZE_MAX);
  Checker checker(*compiled.policy, compiled.source_map, schema, sink);
  checker.source_text_ = text;
  checker.run();
  std::vector<Diagnostic> out = std::move(compiled.diagnostics);
  for (Diagnostic& d : sink.take()) out.push_back(std::move(d));
  std::stable_sort(out.begin(), out.end(), [](const Diagnostic& a, const Diagnostic& b) {
    return a.line != b.line ? a.line < b.line : a.column < b.column;
  });
  return out;
}

}  // namespace zelvo::lang
