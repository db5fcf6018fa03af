// heapBytes: the heap a value's containers hold, counted from their
// capacities (a string past its inline buffer, a vector's array, a map's
// nodes with their links). It is how `pallix status` measures a source whose
// memory is the size of its maps; allocator rounding is left out.
//
// Pure functions; the caller makes sure nothing changes the value meanwhile.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace pallix {

inline int64_t heapBytes(const std::string& text) {
  return text.capacity() > std::string().capacity() ? static_cast<int64_t>(text.capacity() + 1) : 0;
}

inline int64_t heapBytes(const std::optional<std::string>& text) {
  return text ? heapBytes(*text) : 0;
}

template <typename T>
int64_t heapBytes(const std::vector<T>& values);

// A red-black tree node: the value, three links and the colour.
template <typename K, typename V, typename C>
int64_t heapBytes(const std::map<K, V, C>& values) {
  int64_t bytes = static_cast<int64_t>(values.size() * (sizeof(std::pair<const K, V>) + 4 * sizeof(void*)));
  for (const auto& [key, value] : values) {
    if constexpr (std::is_same_v<K, std::string>) bytes += heapBytes(key);
    if constexpr (std::is_same_v<V, std::string>) bytes += heapBytes(value);
  }
  return bytes;
}

template <typename T>
int64_t heapBytes(const std::vector<T>& values) {
  int64_t bytes = static_cast<int64_t>(values.capacity() * sizeof(T));
  // Elements that hold heap of their own and have a heapBytes() of their own; others are counted by the caller.
  if constexpr (requires(const T& value) { heapBytes(value); }) {
    for (const T& value : values) bytes += heapBytes(value);
  }
  return bytes;
}

}  // namespace pallix
