// Running C++ work without the interpreter lock, and turning what it threw
// into a host exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

namespace korvanthel::tools {

// How a std::length_error thrown by the work is reported.
enum class LengthError { AsValueError, AsInternalError };

// Sets the host exception for `failure` (a C++ exception caught from work
// run without the lock), with the lock held: std::bad_alloc becomes
// MemoryError; std::length_error becomes ValueError with its message when
// `lengths` is AsValueError; any other std::exception becomes RuntimeError
// "internal error in the <where>: <message>". Any other exception is
// rethrown.
void raise_unlocked_failure(std::exception_ptr failure, const char* where, LengthError lengths);

// Runs `work` with the interpreter lock released. True when it returned;
// false, with a host exception set as raise_unlocked_failure describes,
// when it threw. `work` must not touch any host object.
template <typename F>
bool run_unlocked(F&& work, const char* where, LengthError lengths) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    std::forward<F>(work)();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (!failure) return true;
  raise_unlocked_failure(failure, where, lengths);
  return false;
}

}  // namespace korvanthel::tools
