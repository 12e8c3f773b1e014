// The one policy loader: a policy's bytes in any of its three forms, told
// apart by content, never by a file name.
//
//   auto loaded = zelvo::lang::load_policy_any(data, "guard.zelvo");
//   if (!loaded) { report(loaded.error()); }
//
// Forms, in the order they are recognised:
//   - a .zelvoc container: the container's magic bytes;
//   - policy JSON: the first byte after white space (and a UTF-8
//     byte-order mark) is `{` or `[`;
//   - policy source: anything else; it is compiled.
//
// Contracts: never throws for any input (only std::bad_alloc may
// escape); recursion and allocation are bounded as in the container
// reader, the JSON decoder and the compiler it calls. Cost: one pass of
// the form's reader (a compilation for a source).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler.h"
#include "diag/diagnostic.h"
#include "model/expected.h"
#include "model/policy.h"

namespace zelvo::lang {

enum class PolicyForm : std::uint8_t { Container, Json, Source };

// The form of a policy's bytes (see above).
PolicyForm policy_form(std::string_view data);

struct PolicyLoadError {
  PolicyForm form = PolicyForm::Container;  // the form the bytes were read as
  // Container: the container reader's message; Json: the decoder's
  // message; Source: empty (see `diagnostics`).
  std::string message;
  std::vector<Diagnostic> diagnostics;  // Source only: the compiler's, errors first among them
};

struct LoadedPolicy {
  CompiledPolicy policy;
  PolicyForm form = PolicyForm::Container;
  std::optional<SourceMap> source_map;  // Source only
};

// `filename` names a source in its diagnostics. A source that states no
// `source_hash` gets source_hash(data) recorded in metadata.source_hash.
// With `keep_source_map` false a source's map is not made (source_map stays
// empty): for callers that only run the policy.
Expected<LoadedPolicy, PolicyLoadError> load_policy_any(std::string_view data, std::string_view filename,
                                                        bool keep_source_map = true);

// A policy source's identity: the 64-bit FNV-1a hash of its bytes exactly
// as given (0 is never returned: it means "no hash"; a hash of 0 gives 1).
// The same bytes give the same hash on every machine. Cost: linear.
std::uint64_t source_hash(std::string_view source) noexcept;

}  // namespace zelvo::lang
