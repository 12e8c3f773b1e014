#include "syntax/token.h"

#include "syntax/lexical.h"

namespace zelvo::lang {

std::string_view punctuation_text(Tok kind) noexcept {
  switch (kind) {
    case Tok::LParen: return "(";
    case Tok::RParen: return ")";
    case Tok::LBrace: return "{";
    case Tok::RBrace: return "}";
    case Tok::LBracket: return "[";
    case Tok::RBracket: return "]";
    case Tok::Comma: return ",";
    case Tok::Colon: return ":";
    case Tok::Dot: return ".";
    case Tok::Assign: return "=";
    case Tok::Arrow: return "->";
    case Tok::FatArrow: return "=>";
    case Tok::Eq: return "==";
    case Tok::Neq: return "!=";
    case Tok::Lt: return "<";
    case Tok::Le: return "<=";
    case Tok::Gt: return ">";
    case Tok::Ge: return ">=";
    case Tok::Plus: return "+";
    case Tok::Minus: return "-";
    case Tok::Star: return "*";
    case Tok::Slash: return "/";
    case Tok::Percent: return "%";
    case Tok::Underscore: return "_";
    default: return "";
  }
}

std::string clip(std::string_view text, std::size_t max) {
  if (text.size() <= max) return std::string(text);
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

std::string describe(const Token& t) {
  switch (t.kind) {
    case Tok::End: return "end of file";
    case Tok::Word: return (is_keyword(t.text) ? "keyword \"" : "identifier \"") + clip(t.text, 40) + "\"";
    case Tok::String: return "string " + format_string(clip(t.text, 40));
    case Tok::RawName: return "raw name " + format_raw_name(clip(t.text, 40));
    case Tok::Regex: return "regex";
    case Tok::Int: return "number " + clip(t.text, 40);
    case Tok::Float: return "number " + clip(t.text, 40);
    case Tok::Duration: return "duration " + clip(t.text, 40);
    case Tok::Error: return "a malformed token";
    default: return "\"" + std::string(punctuation_text(t.kind)) + "\"";
  }
}

}  // namespace zelvo::lang
