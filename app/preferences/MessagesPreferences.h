// MessagesPreferences: message search and semantic conversation search
// switches, with the compute units and indexing intensity of the message
// chunk indexer. Posts "MessagesPreferencesDidChange" on every change.
#pragma once

#include "app/preferences/IndexingIntensity.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/preferences/StoredPreferences.h"

namespace pallix {

class MessagesPreferences {
 public:
  static constexpr const char* kDidChangeNotification = "MessagesPreferencesDidChange";
  static constexpr const char* kSearchEnabledKey = "MessagesPreferences.searchEnabled";
  static constexpr const char* kSemanticSearchEnabledKey = "MessagesPreferences.semanticSearchEnabled";
  static constexpr const char* kComputeUnitsKey = "MessagesPreferences.computeUnits";
  static constexpr const char* kIndexingIntensityKey = "MessagesPreferences.indexingIntensity";

  static constexpr bool kDefaultSearchEnabled = true;
  static constexpr bool kDefaultSemanticSearchEnabled = false;
  static constexpr EmbeddingComputeUnits kDefaultComputeUnits = EmbeddingComputeUnits::cpuNe;
  static constexpr IndexingIntensity kDefaultIndexingIntensity = IndexingIntensity::low;

  explicit MessagesPreferences(UserDefaults& defaults,
                               NotificationCenter& center = NotificationCenter::defaultCenter());

  const UUID& version() const { return storage_.version(); }

  bool searchEnabled() const { return searchEnabled_; }
  bool semanticSearchEnabled() const { return semanticSearchEnabled_; }
  EmbeddingComputeUnits computeUnits() const { return computeUnits_; }
  IndexingIntensity indexingIntensity() const { return indexingIntensity_; }

  Status setSearchEnabled(bool enabled);
  Status setSemanticSearchEnabled(bool enabled);
  Status setComputeUnits(EmbeddingComputeUnits units);
  Status setIndexingIntensity(IndexingIntensity intensity);

  // Re-reads every key from the defaults store after another process changed
  // it; on any difference renews `version` and posts "MessagesPreferencesDidChange", as a setter would.
  void reloadFromDefaults();

 private:
  PreferenceStorage storage_;
  bool searchEnabled_;
  bool semanticSearchEnabled_;
  EmbeddingComputeUnits computeUnits_;
  IndexingIntensity indexingIntensity_;
};

}  // namespace pallix
