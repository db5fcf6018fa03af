// IntelligencePreferences: the embedding model used for semantic search, its
// compute units and indexing intensity. Posts
// "IntelligencePreferencesDidChange" on every change.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "SimilaritySearchKit/EmbeddingModel.h"
#include "app/preferences/IndexingIntensity.h"
#include "app/preferences/StoredPreferences.h"

namespace pallix {

// The persisted raw values in case order, for loading with the shared
// fallback rule (they match rawValue() of the enumerations).
inline constexpr std::array<std::string_view, 2> kEmbeddingModelRawValues = {"bge-small", "bge-m3"};
inline constexpr std::array<std::string_view, 4> kEmbeddingComputeUnitsRawValues = {"cpu", "cpuGpu", "cpuNe", "all"};

class IntelligencePreferences {
 public:
  static constexpr const char* kDidChangeNotification = "IntelligencePreferencesDidChange";
  // Posted besides kDidChangeNotification when selectedModel changes; the
  // notification's object is the new EmbeddingModel.
  static constexpr const char* kEmbeddingModelDidChangeNotification = pallix::kEmbeddingModelDidChangeNotification;
  static constexpr const char* kSelectedModelKey = "IntelligencePreferences.selectedModel";
  static constexpr const char* kComputeUnitsKey = "IntelligencePreferences.computeUnits";
  static constexpr const char* kIndexingIntensityKey = "IntelligencePreferences.indexingIntensity";

  static constexpr EmbeddingModel kDefaultSelectedModel = EmbeddingModel::bgeSmall;
  static constexpr EmbeddingComputeUnits kDefaultComputeUnits = EmbeddingComputeUnits::cpuNe;
  static constexpr IndexingIntensity kDefaultIndexingIntensity = IndexingIntensity::balanced;

  explicit IntelligencePreferences(UserDefaults& defaults,
                                   NotificationCenter& center = NotificationCenter::defaultCenter());

  const UUID& version() const { return storage_.version(); }

  EmbeddingModel selectedModel() const { return selectedModel_; }
  EmbeddingComputeUnits computeUnits() const { return computeUnits_; }
  IndexingIntensity indexingIntensity() const { return indexingIntensity_; }

  Status setSelectedModel(EmbeddingModel model);
  Status setComputeUnits(EmbeddingComputeUnits units);
  Status setIndexingIntensity(IndexingIntensity intensity);

  // Re-reads every key from the defaults store after another process changed
  // it; on any difference renews `version` and posts "IntelligencePreferencesDidChange" (and "EmbeddingModelDidChange"
  // for a new model), as a setter would.
  void reloadFromDefaults();

 private:
  PreferenceStorage storage_;
  EmbeddingModel selectedModel_;
  EmbeddingComputeUnits computeUnits_;
  IndexingIntensity indexingIntensity_;
};

}  // namespace pallix
