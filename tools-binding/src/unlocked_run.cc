#include "unlocked_run.h"

#include <new>
#include <stdexcept>

namespace korvanthel::tools {

void raise_unlocked_failure(std::exception_ptr failure, const char* where, LengthError lengths) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    if (lengths == LengthError::AsValueError) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } else {
      PyErr_Format(PyExc_RuntimeError, "internal error in the %s: %s", where, e.what());
    }
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error in the %s: %s", where, e.what());
  }
}

}  // namespace korvanthel::tools
