// IntelligencePreferences: the embedding model used for semantic search, its
// compute units and indexing intensity.
//
// EmbeddingModel and EmbeddingComputeUnits are kept here as small enums in
// namespace pallix::prefs so that the shell does not depend on the similarity
// engine; their raw values are the persisted strings shared with it.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "app/shell/IndexingIntensity.h"
#include "app/shell/StoredPreferences.h"

namespace pallix {
namespace prefs {

enum class EmbeddingModel { bgeSmall, bgeM3 };
inline constexpr std::array<std::string_view, 2> kEmbeddingModelRawValues = {"bge-small", "bge-m3"};
constexpr std::string_view rawValue(EmbeddingModel v) {
  return kEmbeddingModelRawValues[static_cast<size_t>(v)];
}

enum class EmbeddingComputeUnits { cpu, cpuGpu, cpuNe, all };
inline constexpr std::array<std::string_view, 4> kEmbeddingComputeUnitsRawValues = {"cpu", "cpuGpu", "cpuNe", "all"};
constexpr std::string_view rawValue(EmbeddingComputeUnits v) {
  return kEmbeddingComputeUnitsRawValues[static_cast<size_t>(v)];
}

}  // namespace prefs

class IntelligencePreferences {
 public:
  static constexpr const char* kDidChangeNotification = "IntelligencePreferencesDidChange";
  // Posted besides kDidChangeNotification when selectedModel changes; the
  // notification's object is the new prefs::EmbeddingModel.
  static constexpr const char* kEmbeddingModelDidChangeNotification = "EmbeddingModelDidChange";
  static constexpr const char* kSelectedModelKey = "IntelligencePreferences.selectedModel";
  static constexpr const char* kComputeUnitsKey = "IntelligencePreferences.computeUnits";
  static constexpr const char* kIndexingIntensityKey = "IntelligencePreferences.indexingIntensity";

  static constexpr prefs::EmbeddingModel kDefaultSelectedModel = prefs::EmbeddingModel::bgeSmall;
  static constexpr prefs::EmbeddingComputeUnits kDefaultComputeUnits = prefs::EmbeddingComputeUnits::cpuNe;
  static constexpr IndexingIntensity kDefaultIndexingIntensity = IndexingIntensity::balanced;

  explicit IntelligencePreferences(UserDefaults& defaults,
                                   NotificationCenter& center = NotificationCenter::defaultCenter());

  const UUID& version() const { return storage_.version(); }

  prefs::EmbeddingModel selectedModel() const { return selectedModel_; }
  prefs::EmbeddingComputeUnits computeUnits() const { return computeUnits_; }
  IndexingIntensity indexingIntensity() const { return indexingIntensity_; }

  Status setSelectedModel(prefs::EmbeddingModel model);
  Status setComputeUnits(prefs::EmbeddingComputeUnits units);
  Status setIndexingIntensity(IndexingIntensity intensity);

 private:
  PreferenceStorage storage_;
  prefs::EmbeddingModel selectedModel_;
  prefs::EmbeddingComputeUnits computeUnits_;
  IndexingIntensity indexingIntensity_;
};

}  // namespace pallix
