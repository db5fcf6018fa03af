// IndexingIntensity: how hard the semantic indexers work (batch sizes and
// pauses). Persisted as its raw string.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace pallix {

enum class IndexingIntensity { minimal, low, balanced, maximum };

inline constexpr std::array<std::string_view, 4> kIndexingIntensityRawValues = {"minimal", "low", "balanced",
                                                                                "maximum"};

constexpr std::string_view rawValue(IndexingIntensity v) {
  return kIndexingIntensityRawValues[static_cast<size_t>(v)];
}

inline std::optional<IndexingIntensity> indexingIntensityFromRaw(std::string_view raw) {
  for (size_t i = 0; i < kIndexingIntensityRawValues.size(); ++i) {
    if (kIndexingIntensityRawValues[i] == raw) return static_cast<IndexingIntensity>(i);
  }
  return std::nullopt;
}

}  // namespace pallix
