#include "emit/format_source.h"

#include <algorithm>
#include <cstdint>

#include "compiler.h"
#include "diag/messages.h"
#include "emit/printer.h"
#include "syntax/lexer.h"
#include "syntax/source.h"

namespace zelvo::lang {

namespace {

// A token of either text, for pairing only: its bytes and where it is.
struct PairToken {
  std::string_view text;
  std::size_t offset = 0;
  std::uint32_t line = 0;  // 0-based
};

// The tokens of a text that compiles, by the language's own lexer (comments
// left out), each with its spelling in the text and its line.
std::vector<PairToken> tokenize(std::string_view text) {
  const Source source(text, "");
  DiagnosticSink sink(source, 1);
  Lexer lexer(source, sink, nullptr);
  std::vector<PairToken> out;
  std::uint32_t line = 0;
  std::size_t counted = 0;  // newlines before this offset are in `line`
  for (Token t = lexer.next(); t.kind != Tok::End; t = lexer.next()) {
    line += static_cast<std::uint32_t>(std::count(text.begin() + counted, text.begin() + t.offset, '\n'));
    counted = t.offset;
    out.push_back({text.substr(t.offset, t.length), t.offset, line});
  }
  return out;
}

// Pairs a[i] with b[j] along a longest common subsequence: result[i] is
// the index in b or -1. Beyond kMaxCells the tokens are left unpaired.
constexpr std::size_t kMaxCells = 4'000'000;

std::vector<long> pair_tokens(const std::vector<const PairToken*>& a, const std::vector<const PairToken*>& b) {
  std::vector<long> result(a.size(), -1);
  const std::size_t n = a.size();
  const std::size_t m = b.size();
  if (n == 0 || m == 0 || (n + 1) * (m + 1) > kMaxCells) return result;
  std::vector<std::uint32_t> len((n + 1) * (m + 1), 0);
  auto at = [m](std::size_t i, std::size_t j) { return i * (m + 1) + j; };
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = m; j-- > 0;) {
      len[at(i, j)] = a[i]->text == b[j]->text ? len[at(i + 1, j + 1)] + 1
                                                : std::max(len[at(i + 1, j)], len[at(i, j + 1)]);
    }
  }
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < n && j < m) {
    if (a[i]->text == b[j]->text) {
      result[i] = static_cast<long>(j);
      ++i;
      ++j;
    } else if (len[at(i + 1, j)] >= len[at(i, j + 1)]) {
      ++i;
    } else {
      ++j;
    }
  }
  return result;
}

// One item on both sides: its source byte range, its printed lines, and
// the pairing of its tokens.
struct Item {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint32_t first_line = 0;
  std::uint32_t last_line = 0;
  std::vector<const PairToken*> source;
  std::vector<const PairToken*> printed;
  std::vector<long> pairs;
};

std::size_t indentation(std::string_view line) {
  std::size_t k = 0;
  while (k < line.size() && line[k] == ' ') ++k;
  return k;
}

}  // namespace

FormatResult format_source(std::string_view source, std::string_view filename) {
  CompileResult compiled = compile(source, filename);
  FormatResult result;
  result.diagnostics = std::move(compiled.diagnostics);
  if (!compiled.policy) return result;
  PrintedSource printed = print_source_layout(*compiled.policy);
  if (compiled.comments.empty()) {
    result.text = std::move(printed.text);
    return result;
  }

  // Items: the preamble (everything outside the others), rules,
  // constraints, machines.
  std::vector<Item> items;
  items.push_back({0, 0, printed.preamble.first_line, printed.preamble.last_line, {}, {}, {}});
  auto add = [&items](const Span& span, const PrintedSource::Item& lines) {
    items.push_back({span.offset, std::size_t{span.offset} + span.length, lines.first_line, lines.last_line, {}, {}, {}});
  };
  const SourceMap& map = compiled.source_map;
  for (std::size_t k = 0; k < map.rules.size() && k < printed.rules.size(); ++k) add(map.rules[k].span, printed.rules[k]);
  for (std::size_t k = 0; k < map.constraints.size() && k < printed.constraints.size(); ++k) {
    add(map.constraints[k], printed.constraints[k]);
  }
  for (std::size_t k = 0; k < map.machines.size() && k < printed.machines.size(); ++k) {
    add(map.machines[k].span, printed.machines[k]);
  }

  const std::vector<PairToken> source_tokens = tokenize(source);
  const std::vector<PairToken> printed_tokens = tokenize(printed.text);
  // The item that holds a source offset or a printed line (0: the
  // preamble), found by binary search: items do not overlap, and sorted
  // by their source offsets or by their printed lines.
  std::vector<std::size_t> by_offset;
  for (std::size_t k = 1; k < items.size(); ++k) by_offset.push_back(k);
  std::sort(by_offset.begin(), by_offset.end(),
            [&items](std::size_t a, std::size_t b) { return items[a].begin < items[b].begin; });
  auto item_of_offset = [&](std::size_t offset) -> std::size_t {
    auto it = std::upper_bound(by_offset.begin(), by_offset.end(), offset,
                               [&items](std::size_t off, std::size_t k) { return off < items[k].begin; });
    if (it == by_offset.begin()) return 0;
    const std::size_t k = *(it - 1);
    return offset < items[k].end ? k : 0;
  };
  // Printed items follow one another in the order they were added.
  auto item_of_line = [&items](std::uint32_t line) -> std::size_t {
    auto it = std::upper_bound(items.begin() + 1, items.end(), line,
                               [](std::uint32_t l, const Item& item) { return l < item.first_line; });
    if (it == items.begin() + 1) return 0;
    const std::size_t k = static_cast<std::size_t>(it - items.begin()) - 1;
    return line <= items[k].last_line ? k : 0;
  };
  std::vector<std::size_t> source_item(source_tokens.size());
  std::vector<std::size_t> source_index(source_tokens.size());
  for (std::size_t t = 0; t < source_tokens.size(); ++t) {
    Item& it = items[source_item[t] = item_of_offset(source_tokens[t].offset)];
    source_index[t] = it.source.size();
    it.source.push_back(&source_tokens[t]);
  }
  for (const PairToken& t : printed_tokens) items[item_of_line(t.line)].printed.push_back(&t);
  for (Item& it : items) it.pairs = pair_tokens(it.source, it.printed);

  // The printed line of source token t, or of its nearest paired
  // neighbour in the direction given; the item's first line otherwise.
  auto printed_line = [&](std::size_t t, bool forward) -> std::uint32_t {
    const Item& it = items[source_item[t]];
    long k = static_cast<long>(source_index[t]);
    while (k >= 0 && k < static_cast<long>(it.source.size())) {
      if (it.pairs[static_cast<std::size_t>(k)] >= 0) {
        return it.printed[static_cast<std::size_t>(it.pairs[static_cast<std::size_t>(k)])]->line;
      }
      k += forward ? 1 : -1;
    }
    return forward ? it.first_line : it.last_line;
  };

  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < printed.text.size();) {
    const std::size_t nl = printed.text.find('\n', start);
    lines.push_back(std::string_view(printed.text).substr(start, nl - start));
    start = nl + 1;
  }
  std::vector<std::string> before(lines.size() + 1);
  std::vector<std::string> after(lines.size());
  std::vector<bool> ends_in_line_comment(lines.size(), false);
  for (const Comment& c : compiled.comments) {
    const std::size_t c_begin = c.span.offset;
    const std::size_t c_end = c_begin + c.span.length;
    const auto next = std::lower_bound(source_tokens.begin(), source_tokens.end(), c_end,
                                       [](const PairToken& t, std::size_t off) { return t.offset < off; });
    const std::string_view text(c.text);
    if (c.own_line || next == source_tokens.begin()) {
      if (next == source_tokens.end()) {
        before[lines.size()] += std::string(text) + "\n";
        continue;
      }
      const std::uint32_t line = printed_line(static_cast<std::size_t>(next - source_tokens.begin()), true);
      before[line] += std::string(indentation(lines[line]), ' ') + std::string(text) + "\n";
    } else {
      const std::uint32_t line = printed_line(static_cast<std::size_t>(next - source_tokens.begin()) - 1, false);
      if (ends_in_line_comment[line]) {
        // Nothing may follow a line comment on its line: the comment goes
        // on a line of its own, before the next one.
        const std::size_t indent = line + 1 < lines.size() ? indentation(lines[line + 1]) : 0;
        before[line + 1] += std::string(indent, ' ') + std::string(text) + "\n";
        continue;
      }
      after[line] += " " + std::string(text);
      ends_in_line_comment[line] = text.starts_with("//");
    }
  }

  std::string out;
  out.reserve(printed.text.size() + source.size() / 4);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    out += before[k];
    out += lines[k];
    out += after[k];
    out += '\n';
  }
  out += before[lines.size()];
  result.text = std::move(out);
  return result;
}

}  // namespace zelvo::lang
