// SelectionList: keeping, moving and restoring the selection of one result
// list, by row identifier. The session keeps one selection per list and
// uses these rules for every list, so that they behave the same.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace pallix::selection {

inline int indexOf(const std::vector<std::string>& ids, const std::optional<std::string>& selected) {
  if (!selected) return -1;
  auto it = std::find(ids.begin(), ids.end(), *selected);
  return it == ids.end() ? -1 : static_cast<int>(it - ids.begin());
}

// The selection after new results arrive: the first row after a reset or
// when the selected row is gone; with nothing selected, the first row
// unless `keepNone` (the app grid of an empty query starts unselected).
inline std::optional<std::string> afterResults(const std::vector<std::string>& ids,
                                               const std::optional<std::string>& selected, bool reset,
                                               bool keepNone = false) {
  std::optional<std::string> first = ids.empty() ? std::nullopt : std::optional<std::string>(ids.front());
  if (reset) return first;
  if (!selected) return keepNone ? std::nullopt : first;
  return indexOf(ids, selected) >= 0 ? selected : first;
}

// The selection moved by `by` rows, clamped to the list; with nothing
// selected, down starts at the first row and up at the last.
inline std::optional<std::string> moved(const std::vector<std::string>& ids, const std::optional<std::string>& selected,
                                        int by) {
  if (ids.empty()) return std::nullopt;
  const int count = static_cast<int>(ids.size());
  const int index = indexOf(ids, selected);
  const int next = index < 0 ? (by >= 0 ? 0 : count - 1) : std::clamp(index + by, 0, count - 1);
  return ids[static_cast<size_t>(next)];
}

}  // namespace pallix::selection
