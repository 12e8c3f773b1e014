// Box<T>: an exclusively owned child object with value semantics.
//
// The policy model is a tree without sharing; a record that owns a child
// expression holds it in a Box. Copying a Box deep-copies the child, so the
// implicitly generated copy constructor of every record is a deep copy.
// A Box is never empty except after being moved from.
#pragma once

#include <memory>
#include <utility>

namespace zelvo {

template <typename T>
class Box {
 public:
  Box() : ptr_(std::make_unique<T>()) {}
  Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit by design
  Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  T& operator*() noexcept { return *ptr_; }
  const T& operator*() const noexcept { return *ptr_; }
  T* operator->() noexcept { return ptr_.get(); }
  const T* operator->() const noexcept { return ptr_.get(); }
  const T& get() const noexcept { return *ptr_; }

 private:
  std::unique_ptr<T> ptr_;
};

}  // namespace zelvo
