#include "load/policy_loader.h"

#include <utility>

#include "container/container.h"
#include "model/json_decoder.h"

namespace zelvo::lang {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool has_magic(std::string_view data) {
  if (data.size() < 4) return false;
  const auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])); };
  return (b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24)) == kContainerMagic;
}

std::string_view without_bom(std::string_view data) {
  return data.substr(0, kBom.size()) == kBom ? data.substr(kBom.size()) : data;
}

}  // namespace

PolicyForm policy_form(std::string_view data) {
  if (has_magic(data)) return PolicyForm::Container;
  for (char c : without_bom(data)) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    return c == '{' || c == '[' ? PolicyForm::Json : PolicyForm::Source;
  }
  return PolicyForm::Source;
}

Expected<LoadedPolicy, PolicyLoadError> load_policy_any(std::string_view data, std::string_view filename,
                                                        bool keep_source_map) {
  const PolicyForm form = policy_form(data);
  switch (form) {
    case PolicyForm::Container: {
      auto r = load_policy_bytes(data);
      if (!r) return unexpected(PolicyLoadError{form, r.error().message(), {}});
      return LoadedPolicy{std::move(r).value(), form, std::nullopt};
    }
    case PolicyForm::Json: {
      auto r = parse_policy_json_bytes(without_bom(data));
      if (!r) return unexpected(PolicyLoadError{form, r.error().message(), {}});
      return LoadedPolicy{std::move(r).value(), form, std::nullopt};
    }
    case PolicyForm::Source: break;
  }
  CompileOptions options;
  options.source_map = keep_source_map;
  CompileResult r = compile(data, filename, options);
  if (!r.policy) return unexpected(PolicyLoadError{form, {}, std::move(r.diagnostics)});
  if (r.policy->metadata.source_hash == 0) r.policy->metadata.source_hash = source_hash(data);
  std::optional<SourceMap> map;
  if (keep_source_map) map = std::move(r.source_map);
  return LoadedPolicy{std::move(*r.policy), form, std::move(map)};
}

std::uint64_t source_hash(std::string_view source) noexcept {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (char c : source) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001B3ull;
  }
  return h == 0 ? 1 : h;
}

}  // namespace zelvo::lang
