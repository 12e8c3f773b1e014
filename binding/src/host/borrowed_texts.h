// BorrowedTexts: the str objects whose text an event's fields refer to
// without a copy.
//
// A field's long str is handed to the engine as a borrowed Str pointing at
// the str's own UTF-8 bytes (stored in the object and unchanged while it
// lives). Host code that runs during a conversion (a __str__ or __index__)
// may drop the caller's references, so the holder keeps one reference to
// each borrowed str for as long as the event lives: declare it before the
// event, so that it is released after it. It holds a fixed number of
// objects and allocates nothing; once full, texts are copied as before.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>

namespace korvanthel {

class BorrowedTexts {
 public:
  BorrowedTexts() = default;
  BorrowedTexts(const BorrowedTexts&) = delete;
  BorrowedTexts& operator=(const BorrowedTexts&) = delete;
  ~BorrowedTexts() {
    for (std::size_t i = 0; i < count_; ++i) Py_DECREF(held_[i]);  // strs: no host code runs
  }

  // Keeps `str` alive with the holder; false when the holder is full.
  bool hold(PyObject* str) noexcept {
    if (count_ == held_.size()) return false;
    Py_INCREF(str);
    held_[count_++] = str;
    return true;
  }

 private:
  std::array<PyObject*, 16> held_;
  std::size_t count_ = 0;
};

}  // namespace korvanthel
