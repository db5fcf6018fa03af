#include "app/preferences/ClipboardPreferences.h"

#include <algorithm>
#include <string>

#include "core/Logger.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("ClipboardPreferences");
  return log;
}

}  // namespace

bool ClipboardPreferences::isRetentionOption(int64_t days) {
  return std::find(retentionOptions.begin(), retentionOptions.end(), days) != retentionOptions.end();
}

UserDefaults& ClipboardPreferences::migrate(UserDefaults& defaults) {
  if (defaults.contains(kObsoleteMaxItemCountKey)) {
    Status removed = defaults.remove(kObsoleteMaxItemCountKey);
    if (!removed.ok()) {
      logger().error("Cannot remove %s: %s", kObsoleteMaxItemCountKey, removed.error().description().c_str());
    }
  }
  return defaults;
}

ClipboardPreferences::ClipboardPreferences(UserDefaults& defaults, NotificationCenter& center)
    : storage_(migrate(defaults), center, kDidChangeNotification),
      historyEnabled_(storage_.loadBool(kHistoryEnabledKey, kDefaultHistoryEnabled)),
      retentionDays_(defaultRetentionDays),
      maxStorageMB_(kDefaultMaxStorageMB),
      linkPreviewsEnabled_(storage_.loadBool(kLinkPreviewsEnabledKey, kDefaultLinkPreviewsEnabled)),
      semanticSearchEnabled_(storage_.loadBool(kSemanticSearchEnabledKey, kDefaultSemanticSearchEnabled)) {
  if (auto stored = defaults.integerValue(kRetentionDaysKey); stored && isRetentionOption(*stored)) {
    retentionDays_ = *stored;
  }
  if (auto stored = defaults.integerValue(kMaxStorageMBKey);
      stored && *stored >= kMinimumMaxStorageMB && *stored <= kMaximumMaxStorageMB) {
    maxStorageMB_ = *stored;
  }
}

ClipboardSettings ClipboardPreferences::settings() const {
  ClipboardSettings settings;
  settings.historyEnabled = historyEnabled_;
  settings.retentionDays = retentionDays_;
  settings.maxStorageBytes = maxStorageMB_ << 20;
  settings.linkPreviewsEnabled = linkPreviewsEnabled_;
  settings.semanticSearchEnabled = semanticSearchEnabled_;
  return settings;
}

Status ClipboardPreferences::setMaxStorageMB(int64_t megabytes) {
  if (megabytes < kMinimumMaxStorageMB || megabytes > kMaximumMaxStorageMB) {
    return Error("ClipboardPreferencesError", 2,
                 "A clipboard history of " + std::to_string(megabytes) + " MB is not possible: give 1 MB or more");
  }
  return storage_.update(
      maxStorageMB_, megabytes, [&] { return storage_.defaults().set(kMaxStorageMBKey, megabytes); }, this);
}

Status ClipboardPreferences::setLinkPreviewsEnabled(bool enabled) {
  return storage_.update(
      linkPreviewsEnabled_, enabled, [&] { return storage_.defaults().set(kLinkPreviewsEnabledKey, enabled); }, this);
}

Status ClipboardPreferences::setSemanticSearchEnabled(bool enabled) {
  return storage_.update(
      semanticSearchEnabled_, enabled, [&] { return storage_.defaults().set(kSemanticSearchEnabledKey, enabled); },
      this);
}

Status ClipboardPreferences::setHistoryEnabled(bool enabled) {
  return storage_.update(
      historyEnabled_, enabled, [&] { return storage_.defaults().set(kHistoryEnabledKey, enabled); }, this);
}

Status ClipboardPreferences::setRetentionDays(int64_t days) {
  if (!isRetentionOption(days)) {
    return Error("ClipboardPreferencesError", 1,
                 "Retention of " + std::to_string(days) + " days is not one of 1, 7, 30 or 0 (keep everything)");
  }
  return storage_.update(
      retentionDays_, days, [&] { return storage_.defaults().set(kRetentionDaysKey, days); }, this);
}

void ClipboardPreferences::reloadFromDefaults() {
  NotificationCenter unheard;
  const ClipboardPreferences stored(storage_.defaults(), unheard);
  bool changed = false;
  changed |= PreferenceStorage::adopt(historyEnabled_, stored.historyEnabled_);
  changed |= PreferenceStorage::adopt(retentionDays_, stored.retentionDays_);
  changed |= PreferenceStorage::adopt(maxStorageMB_, stored.maxStorageMB_);
  changed |= PreferenceStorage::adopt(linkPreviewsEnabled_, stored.linkPreviewsEnabled_);
  changed |= PreferenceStorage::adopt(semanticSearchEnabled_, stored.semanticSearchEnabled_);
  if (changed) storage_.renewVersionAndPost(this);
}

}  // namespace pallix
