// Fuzz target: the one policy loader (zelvo-compiler/src/load), over any
// bytes: a container, policy JSON or policy source, told apart by content.
//
// Beyond "no crash, no leak, no undefined behaviour, no deep recursion",
// it checks that the form reported (on success or failure) is the form
// policy_form() gives, that a loaded source carries its source map and a
// refused one at least one error diagnostic, and that a refused container
// or JSON text says why.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_util.h"
#include "load/policy_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zelvo::lang::PolicyForm;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const PolicyForm form = zelvo::lang::policy_form(bytes);
  auto loaded = zelvo::lang::load_policy_any(bytes, "fuzz.zelvo");
  if (loaded) {
    if (loaded.value().form != form) zelvo_fuzz::fail("loaded form differs from policy_form");
    if ((form == PolicyForm::Source) != loaded.value().source_map.has_value()) {
      zelvo_fuzz::fail("a source map exactly for a source");
    }
    return 0;
  }
  const auto& error = loaded.error();
  if (error.form != form) zelvo_fuzz::fail("refused form differs from policy_form");
  if (form == PolicyForm::Source) {
    bool any_error = false;
    for (const auto& d : error.diagnostics) any_error = any_error || d.level == zelvo::lang::Level::Error;
    if (!any_error) zelvo_fuzz::fail("a refused source without an error diagnostic");
  } else if (error.message.empty()) {
    zelvo_fuzz::fail("a refused container or JSON text without a message");
  }
  return 0;
}
