// FilesPreferences: file search switches, the folders whose contents are
// indexed for semantic search, and the file chunk indexer's compute units and
// intensity. Posts "FilesPreferencesDidChange" on every change.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/preferences/IndexingIntensity.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/preferences/StoredPreferences.h"

namespace pallix {

class FilesPreferences {
 public:
  // Which folders the file search covers by default.
  enum class SearchScope { user, system };
  static constexpr std::array<std::string_view, 2> kSearchScopeRawValues = {"user", "system"};
  static constexpr std::string_view rawValue(SearchScope v) { return kSearchScopeRawValues[static_cast<size_t>(v)]; }
  // For `user`: "Documents", "Desktop", "Downloads" and "Developer" under the
  // home folder, in that order, each only if it is an existing directory.
  // For `system`: none.
  static std::vector<std::string> scopeDirectories(SearchScope scope,
                                                   const DataDirectories& dirs = DataDirectories::fromEnvironment());

  static constexpr const char* kDidChangeNotification = "FilesPreferencesDidChange";
  static constexpr const char* kSearchEnabledKey = "FilesPreferences.searchEnabled";
  static constexpr const char* kSemanticSearchEnabledKey = "FilesPreferences.semanticSearchEnabled";
  static constexpr const char* kSearchScopeKey = "FilesPreferences.searchScope";
  static constexpr const char* kIndexedFoldersKey = "FilesPreferences.indexedFolders";
  static constexpr const char* kComputeUnitsKey = "FilesPreferences.computeUnits";
  static constexpr const char* kIndexingIntensityKey = "FilesPreferences.indexingIntensity";

  static constexpr bool kDefaultSearchEnabled = true;
  static constexpr bool kDefaultSemanticSearchEnabled = false;
  static constexpr SearchScope kDefaultSearchScope = SearchScope::user;
  static constexpr EmbeddingComputeUnits kDefaultComputeUnits = EmbeddingComputeUnits::cpuNe;
  static constexpr IndexingIntensity kDefaultIndexingIntensity = IndexingIntensity::low;

  explicit FilesPreferences(UserDefaults& defaults, NotificationCenter& center = NotificationCenter::defaultCenter());

  const UUID& version() const { return storage_.version(); }

  bool searchEnabled() const { return searchEnabled_; }
  bool semanticSearchEnabled() const { return semanticSearchEnabled_; }
  SearchScope searchScope() const { return searchScope_; }
  // Absolute folder paths, in the order they were added.
  const std::vector<std::string>& indexedFolders() const { return indexedFolders_; }
  EmbeddingComputeUnits computeUnits() const { return computeUnits_; }
  IndexingIntensity indexingIntensity() const { return indexingIntensity_; }

  Status setSearchEnabled(bool enabled);
  Status setSemanticSearchEnabled(bool enabled);
  Status setSearchScope(SearchScope scope);
  Status setIndexedFolders(std::vector<std::string> folders);
  Status setComputeUnits(EmbeddingComputeUnits units);
  Status setIndexingIntensity(IndexingIntensity intensity);

  // Standardises `folder` (absolute, no "." or ".." parts, no trailing
  // slash), resolves symbolic links in it, and appends it unless an equal
  // path is already listed.
  Status addIndexedFolder(const std::string& folder);
  // Removes every entry equal to `folder` after the same standardisation of both.
  Status removeIndexedFolder(const std::string& folder);

  // The standardised, symlink-resolved form used by add and remove.
  static std::string standardizedFolderPath(const std::string& folder);

  // Re-reads every key from the defaults store after another process changed
  // it; on any difference renews `version` and posts "FilesPreferencesDidChange", as a setter would.
  void reloadFromDefaults();

 private:
  PreferenceStorage storage_;
  bool searchEnabled_;
  bool semanticSearchEnabled_;
  SearchScope searchScope_;
  std::vector<std::string> indexedFolders_;
  EmbeddingComputeUnits computeUnits_;
  IndexingIntensity indexingIntensity_;
};

}  // namespace pallix
