#pragma once
// A small value-or-error result, until the toolchain's C++23 std::expected is available here.
#include <cassert>
#include <utility>
#include <variant>

namespace brimlow {

template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(implicit)
  template <class G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, E(std::move(u.error))) {}  // NOLINT

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace brimlow
