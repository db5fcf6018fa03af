// ClipboardPreferences: the clipboard history switch, how many days of
// history are kept, how much space it may take, whether link previews
// are fetched and whether the history is searched by meaning. Posts "ClipboardPreferencesDidChange" on every change.
#pragma once

#include <array>
#include <cstdint>

#include "app/preferences/ClipboardSettings.h"
#include "app/preferences/StoredPreferences.h"

namespace pallix {

class ClipboardPreferences {
 public:
  static constexpr const char* kDidChangeNotification = "ClipboardPreferencesDidChange";
  static constexpr const char* kHistoryEnabledKey = "ClipboardPreferences.historyEnabled";
  static constexpr const char* kRetentionDaysKey = "ClipboardPreferences.retentionDays";
  static constexpr const char* kMaxStorageMBKey = "ClipboardPreferences.maxStorageMB";
  static constexpr const char* kLinkPreviewsEnabledKey = "ClipboardPreferences.linkPreviewsEnabled";
  // Opt-in: text items are embedded with the installed model as they are
  // copied, and clipboard mode also lists items of similar meaning.
  static constexpr const char* kSemanticSearchEnabledKey = "ClipboardPreferences.semanticSearchEnabled";
  // Obsolete; removed from the store at construction.
  static constexpr const char* kObsoleteMaxItemCountKey = "ClipboardPreferences.maxItemCount";

  // Days of history kept; 0 keeps everything.
  static constexpr std::array<int64_t, 4> retentionOptions = {1, 7, 30, 0};
  static constexpr int64_t defaultRetentionDays = 7;
  static constexpr bool kDefaultHistoryEnabled = false;
  static constexpr int64_t kDefaultMaxStorageMB = 512;
  static constexpr bool kDefaultLinkPreviewsEnabled = true;
  static constexpr bool kDefaultSemanticSearchEnabled = false;
  static constexpr int64_t kMinimumMaxStorageMB = 1, kMaximumMaxStorageMB = int64_t{1} << 30;

  static bool isRetentionOption(int64_t days);

  // Runs the "maxItemCount" migration, then loads the stored values.
  explicit ClipboardPreferences(UserDefaults& defaults,
                                NotificationCenter& center = NotificationCenter::defaultCenter());

  const UUID& version() const { return storage_.version(); }

  bool historyEnabled() const { return historyEnabled_; }
  int64_t retentionDays() const { return retentionDays_; }
  int64_t maxStorageMB() const { return maxStorageMB_; }
  bool linkPreviewsEnabled() const { return linkPreviewsEnabled_; }
  bool semanticSearchEnabled() const { return semanticSearchEnabled_; }
  // What the clipboard service reads.
  ClipboardSettings settings() const;

  Status setHistoryEnabled(bool enabled);
  // Fails, changing nothing, for a value that is not one of retentionOptions.
  Status setRetentionDays(int64_t days);
  // Fails, changing nothing, outside kMinimumMaxStorageMB...kMaximumMaxStorageMB.
  Status setMaxStorageMB(int64_t megabytes);
  Status setLinkPreviewsEnabled(bool enabled);
  Status setSemanticSearchEnabled(bool enabled);

  // Re-reads every key from the defaults store after another process changed
  // it; on any difference renews `version` and posts "ClipboardPreferencesDidChange", as a setter would.
  void reloadFromDefaults();

 private:
  static UserDefaults& migrate(UserDefaults& defaults);

  PreferenceStorage storage_;
  bool historyEnabled_;
  int64_t retentionDays_;
  int64_t maxStorageMB_;
  bool linkPreviewsEnabled_;
  bool semanticSearchEnabled_;
};

}  // namespace pallix
