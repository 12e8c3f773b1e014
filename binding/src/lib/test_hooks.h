// Fault injection for tests, compiled in only with ZELVO_TEST_HOOKS=1.
//
// A test build makes the core call of evaluate throw for one reserved event
// type, while the engine lock is held, so that tests can reach the poisoned
// state; and, when the environment variable named by kCApiDictsVariable is
// set as the module is initialised, it reads and fills every dict through
// the C API alone (as where the interpreter's dict layout is not the
// compiled one). Release builds contain no trace of either: the hooks are
// empty inline functions there.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace korvanthel::test_hooks {

#if defined(ZELVO_TEST_HOOKS) && ZELVO_TEST_HOOKS
inline constexpr bool kEnabled = true;
inline constexpr std::string_view kFaultEventType = "__zelvo_test_fault__";

inline constexpr const char* kCApiDictsVariable = "ZELVO_TEST_C_API_DICTS";

inline void before_evaluate(std::string_view event_type) {
  if (event_type == kFaultEventType) throw std::runtime_error("injected test fault");
}

inline bool c_api_dicts_only() { return std::getenv(kCApiDictsVariable) != nullptr; }
#else
inline constexpr bool kEnabled = false;

inline void before_evaluate(std::string_view) {}

inline bool c_api_dicts_only() { return false; }
#endif

}  // namespace korvanthel::test_hooks
