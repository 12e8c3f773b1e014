// Fuzz target: the round trip between a compiled policy and its source.
//
// Any input that the decoder turns into a policy P must print, compile
// without a single diagnostic, and give P back record for record (equal
// canonical JSON texts); the canonical JSON must read back into the same
// text; and the printed source must be a fixed point of the formatter.
// Inputs that do not decode are only required not to crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compiler.h"
#include "emit/format_source.h"
#include "emit/policy_json.h"
#include "emit/printer.h"
#include "fuzz_util.h"
#include "model/json_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto decoded = zelvo::parse_policy_json_bytes(bytes);
  if (!decoded) return 0;
  const zelvo::CompiledPolicy& policy = decoded.value();
  const std::string canonical = zelvo::lang::write_policy_json(policy);

  auto reread = zelvo::parse_policy_json(canonical);
  if (!reread) zelvo_fuzz::fail("canonical JSON does not decode:", reread.error().message());
  if (zelvo::lang::write_policy_json(reread.value()) != canonical) {
    zelvo_fuzz::fail("canonical JSON reads back differently:", canonical);
  }

  const std::string source = zelvo::lang::print_source(policy);
  zelvo::lang::CompileResult compiled = zelvo::lang::compile(source, "printed.zelvo");
  if (!compiled.policy) {
    zelvo_fuzz::fail("printed source does not compile:", zelvo::lang::render_all(compiled.diagnostics) + source);
  }
  if (!compiled.diagnostics.empty()) {
    zelvo_fuzz::fail("printed source has diagnostics:", zelvo::lang::render_all(compiled.diagnostics) + source);
  }
  const std::string again = zelvo::lang::write_policy_json(*compiled.policy);
  if (again != canonical) zelvo_fuzz::fail("print then compile changed the policy:", source);

  zelvo::lang::FormatResult formatted = zelvo::lang::format_source(source, "printed.zelvo");
  if (!formatted.text || *formatted.text != source) zelvo_fuzz::fail("printed source is not canonical:", source);
  return 0;
}
