// Fault injection for tests, compiled in only with ZELVO_TEST_HOOKS=1.
//
// A test build makes the core call of evaluate throw for one reserved event
// type, while the engine lock is held, so that tests can reach the poisoned
// state. Release builds contain no trace of it: the hook is an empty inline
// function there.
#pragma once

#include <stdexcept>
#include <string_view>

namespace korvanthel::test_hooks {

#if defined(ZELVO_TEST_HOOKS) && ZELVO_TEST_HOOKS
inline constexpr bool kEnabled = true;
inline constexpr std::string_view kFaultEventType = "__zelvo_test_fault__";

inline void before_evaluate(std::string_view event_type) {
  if (event_type == kFaultEventType) throw std::runtime_error("injected test fault");
}
#else
inline constexpr bool kEnabled = false;

inline void before_evaluate(std::string_view) {}
#endif

}  // namespace korvanthel::test_hooks
