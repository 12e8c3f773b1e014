// Expected<T, E>: a value or an error, for the loaders, which report
// failures as values and never throw across the runtime's interface.
#pragma once

#include <utility>
#include <variant>

namespace zelvo {

template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<E> unexpected(E error) {
  return Unexpected<E>{std::move(error)};
}

template <typename T, typename E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Expected(Unexpected<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace zelvo
