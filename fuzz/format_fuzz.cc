// Fuzz target: the formatter over any source text.
//
// Whatever the bytes, format_source must not crash; when the source
// compiles, its formatted text must compile to the same policy (equal
// canonical JSON), keep every comment, and be a fixed point: formatting it
// again changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compiler.h"
#include "emit/format_source.h"
#include "emit/policy_json.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  zelvo::lang::FormatResult once = zelvo::lang::format_source(source, "fuzz.zelvo");
  if (!once.text) return 0;
  zelvo::lang::CompileResult before = zelvo::lang::compile(source, "fuzz.zelvo");
  zelvo::lang::CompileResult after = zelvo::lang::compile(*once.text, "fuzz.zelvo");
  if (!before.policy || !after.policy) zelvo_fuzz::fail("formatted source does not compile:", *once.text);
  if (zelvo::lang::write_policy_json(*before.policy) != zelvo::lang::write_policy_json(*after.policy)) {
    zelvo_fuzz::fail("formatting changed the policy:", *once.text);
  }
  if (after.comments.size() != before.comments.size()) zelvo_fuzz::fail("formatting lost a comment:", *once.text);
  zelvo::lang::FormatResult twice = zelvo::lang::format_source(*once.text, "fuzz.zelvo");
  if (!twice.text || *twice.text != *once.text) zelvo_fuzz::fail("formatting is not idempotent:", *once.text);
  return 0;
}
