#pragma once

// Field-by-field hashing of records, in declaration order.

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace tessaline::detail {

// Declared together so that each overload sees the others for nested lists and optionals.
template <class T>
void hashCombine(std::size_t& seed, const T& value);
template <class T>
void hashCombine(std::size_t& seed, const std::vector<T>& values);
template <class T>
void hashCombine(std::size_t& seed, const std::optional<T>& value);

template <class T>
void hashCombine(std::size_t& seed, const T& value) {
  seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <class T>
void hashCombine(std::size_t& seed, const std::vector<T>& values) {
  hashCombine(seed, values.size());
  for (const auto& value : values) {
    hashCombine(seed, value);
  }
}

template <class T>
void hashCombine(std::size_t& seed, const std::optional<T>& value) {
  hashCombine(seed, value.has_value());
  if (value) {
    hashCombine(seed, *value);
  }
}

template <class... T>
std::size_t hashValues(const T&... values) {
  std::size_t seed = 0;
  (hashCombine(seed, values), ...);
  return seed;
}

}  // namespace tessaline::detail
