// PyRef: the one owner of a strong reference to a host object.
//
// Every reference the binding creates is held by a PyRef from the moment it
// is made, so that no return path can leak it or release it twice. A PyRef
// may be empty (it then holds nullptr, as after a failed host call).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvanthel {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  // Takes over a new reference, as returned by most host calls; nullptr
  // (a failed call) gives an empty PyRef.
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed object (nullptr gives an empty PyRef).
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller (for return values and the
  // reference-stealing host calls such as PyList_SET_ITEM).
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace korvanthel
