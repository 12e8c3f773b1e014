#include "replay/event_line.h"

#include <charconv>
#include <cstring>

#include "replay/timestamp.h"

namespace zelvo::replay {
namespace {

enum Seen : unsigned { kType = 1, kFields = 2, kTs = 4, kExpect = 8, kComment = 16, kSession = 32, kOtherSession = 64 };
// The extra keys take the bits from here up.
constexpr unsigned kFirstExtraBit = 7;

// Without a session key the whole trace is one session, and a "session"
// key, which recorded traces commonly carry, is skipped like a comment.
constexpr std::string_view kDefaultSessionName = "session";

bool ascii_iequals(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// `key` is `name`, compared with no call (the names are a few bytes).
template <std::size_t N>
bool is_key(std::string_view key, const char (&name)[N]) noexcept {
  if (key.size() != N - 1) return false;
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (key[i] != name[i]) return false;
  }
  return true;
}

std::optional<Verdict> verdict_named(std::string_view text) noexcept {
  if (ascii_iequals(text, "allow")) return Verdict::Allow;
  if (ascii_iequals(text, "deny")) return Verdict::Deny;
  if (ascii_iequals(text, "audit")) return Verdict::Audit;
  if (ascii_iequals(text, "redact")) return Verdict::Redact;
  return std::nullopt;
}

}  // namespace

void EventLineReader::read_extra_keys(std::vector<std::string> keys) {
  if (keys.size() > kMaxExtraKeys) keys.resize(kMaxExtraKeys);
  extra_keys_ = std::move(keys);
  allowed_extra_ = session_key_;
  for (const std::string& key : extra_keys_) {
    if (key == "type" || key == "fields" || key == "ts" || key == "expect" || key == "comment") continue;
    if (!allowed_extra_.empty()) allowed_extra_ += ", ";
    allowed_extra_ += key;
  }
}

void EventLineReader::build_only_read_fields(const FieldUse* use) {
  if (use != nullptr && !use->reads_all()) numbers_.emplace(*use);
  else numbers_.reset();
}

bool EventLineReader::shape_error(LineErrc code, JsonKind found, const char* at) {
  scanner_.fail_at(code, at);
  scanner_.error().found = found;
  return false;
}

bool EventLineReader::read(std::string_view line, EventLine& out) {
  JsonScanner& s = scanner_;
  s.reset(line);
  if (!numbers_) out.event.fields.clear();  // else reused by read_fields, or cleared below
  out.ts.reset();
  out.expect.reset();
  out.session = {};
  out.session_key = {};
  out.extra.clear();
  if (numbers_) {
    out.positions.assign(numbers_->count(), kNoFieldPosition);
    out.event.field_positions = out.positions;
  } else {
    out.positions.clear();
    out.event.field_positions = {};
  }
  JsonKind root;
  if (!s.peek_kind(root)) return false;
  if (root != JsonKind::Object) {
    const char* at = s.position();
    if (!s.skip_value(0)) return false;  // not JSON at all
    return shape_error(LineErrc::NotAnObject, root, at);
  }
  s.eat();
  unsigned seen = 0;
  int c = s.skip_ws();
  if (c == '}') {
    s.eat();
  } else {
    for (;;) {
      if (c == -1) return s.fail(LineErrc::UnexpectedEnd);
      if (c != '"') return s.fail(LineErrc::KeyMustBeString);
      const char* key_at = s.position();
      std::string_view key;
      if (!s.string_view(key)) return false;
      c = s.skip_ws();
      if (c != ':') return s.fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedColon);
      s.eat();
      unsigned bit = 0;
      bool ok;
      std::size_t extra = 0;
      while (extra < extra_keys_.size() && key != extra_keys_[extra]) ++extra;
      if (extra < extra_keys_.size()) {
        bit = 1u << (kFirstExtraBit + extra);
      } else if (is_key(key, "type")) {
        bit = kType;
      } else if (is_key(key, "fields")) {
        bit = kFields;
      } else if (is_key(key, "ts")) {
        bit = kTs;
      } else if (is_key(key, "expect")) {
        bit = kExpect;
      } else if (is_key(key, "comment")) {
        bit = kComment;
      } else if (!session_key_.empty() && key == session_key_) {
        bit = kSession;
      } else if (session_key_.empty() && key == kDefaultSessionName) {
        bit = kOtherSession;
      } else {
        scanner_.fail_at(LineErrc::UnknownKey, key_at);
        scanner_.error().text = key;
        scanner_.error().extra = extra_keys_.empty() ? session_key_ : allowed_extra_;
        return false;
      }
      if ((seen & bit) != 0) {
        scanner_.fail_at(LineErrc::RepeatedKey, key_at);
        scanner_.error().text = key;
        return false;
      }
      seen |= bit;
      switch (bit) {
        case kType: ok = read_type(out); break;
        case kFields: ok = read_fields(out); break;
        case kTs: ok = read_ts(out); break;
        case kExpect: ok = read_expect(out); break;
        case kSession: ok = read_session(out); break;
        case kComment:
        case kOtherSession: ok = s.skip_value(1); break;
        default: ok = read_extra(extra, out); break;
      }
      if (!ok) return false;
      c = s.skip_ws();
      if (c == '}') {
        s.eat();
        break;
      }
      if (c != ',') return s.fail(c == -1 ? LineErrc::UnexpectedEnd : LineErrc::ExpectedCommaOrBrace);
      s.eat();
      c = s.skip_ws();
    }
  }
  if (!s.end()) return false;
  if (numbers_ && (seen & kFields) == 0) out.event.fields.clear();
  out.has_type = (seen & kType) != 0;
  if (!out.has_type) {
    if (!type_optional_) return s.fail_at(LineErrc::MissingType, line.data());
    out.event.event_type = Str();
  }
  if (!session_key_.empty() && (seen & kSession) == 0) {
    s.fail_at(LineErrc::MissingSession, line.data());
    scanner_.error().text = session_key_;
    return false;
  }
  return true;
}

bool EventLineReader::read_extra(std::size_t index, EventLine& out) {
  out.extra.emplace_back(index, Value());
  return scanner_.value(out.extra.back().second, 1);
}

bool EventLineReader::read_type(EventLine& out) {
  JsonKind kind;
  if (!scanner_.peek_kind(kind)) return false;
  if (kind != JsonKind::String) return shape_error(LineErrc::TypeNotString, kind, scanner_.position());
  return scanner_.string(out.event.event_type);
}

bool EventLineReader::read_fields(EventLine& out) {
  JsonKind kind;
  if (!scanner_.peek_kind(kind)) return false;
  if (kind != JsonKind::Null && kind != JsonKind::Object) {
    return shape_error(LineErrc::FieldsNotObject, kind, scanner_.position());
  }
  if (kind == JsonKind::Null || !build_fields_) {
    out.event.fields.clear();
    return scanner_.skip_value(1);
  }
  if (!numbers_) return scanner_.object(out.event.fields, 1);
  return scanner_.object(out.event.fields, 1, *numbers_, out.positions);
}

bool EventLineReader::read_ts(EventLine& out) {
  JsonKind kind;
  if (!scanner_.peek_kind(kind)) return false;
  const char* at = scanner_.position();
  if (kind == JsonKind::Number) {
    std::uint64_t natural = 0;
    if (scanner_.small_natural(natural)) {
      out.ts = natural;  // at most 18 digits: a time in range
      return true;
    }
    std::int64_t ms = 0;
    std::string_view text;
    if (scanner_.integer(ms, text) && (out.ts = event_time_of_integer(ms))) return true;
    if (text.empty()) return false;  // not even a number: the scanner's error
    scanner_.fail_at(LineErrc::TsBadNumber, at);
    scanner_.error().text = text;
    return false;
  }
  if (kind == JsonKind::String) {
    std::string_view text;
    if (!scanner_.string_view(text)) return false;
    if ((out.ts = event_time_of_text(text))) return true;
    scanner_.fail_at(LineErrc::TsBadText, at);
    scanner_.error().text = text;
    return false;
  }
  return shape_error(LineErrc::TsNotTime, kind, at);
}

bool EventLineReader::read_expect(EventLine& out) {
  JsonKind kind;
  if (!scanner_.peek_kind(kind)) return false;
  const char* at = scanner_.position();
  if (kind == JsonKind::Null) return scanner_.skip_value(1);
  if (kind == JsonKind::String) {
    std::string_view text;
    if (!scanner_.string_view(text)) return false;
    if ((out.expect = verdict_named(text))) return true;
  } else if (!scanner_.skip_value(1)) {
    return false;
  }
  scanner_.fail_at(LineErrc::BadExpect, at);
  scanner_.error().text = std::string_view(at, static_cast<std::size_t>(scanner_.position() - at));
  return false;
}

bool EventLineReader::read_session(EventLine& out) {
  JsonKind kind;
  if (!scanner_.peek_kind(kind)) return false;
  const char* at = scanner_.position();
  if (kind == JsonKind::String) {
    std::string_view text;
    if (!scanner_.string_view(text)) return false;
    // An unescaped text lies in the line; an escaped one in the scanner's
    // scratch, which the next string read replaces: keep a copy.
    if (text.data() >= at && text.data() < scanner_.position()) {
      out.session = text;
    } else {
      session_text_.assign(text);
      out.session = session_text_;
    }
    out.session_key = out.session;
    return true;
  }
  if (kind == JsonKind::Number) {
    std::int64_t id = 0;
    std::string_view text;
    if (scanner_.integer(id, text)) {
      session_digits_[0] = '\xFF';
      auto [end, ec] = std::to_chars(session_digits_ + 1, session_digits_ + sizeof session_digits_, id);
      out.session_key = std::string_view(session_digits_, static_cast<std::size_t>(end - session_digits_));
      out.session = out.session_key.substr(1);
      return true;
    }
    if (text.empty()) return false;
  }
  return shape_error(LineErrc::SessionNotKey, kind, at);
}

}  // namespace zelvo::replay
