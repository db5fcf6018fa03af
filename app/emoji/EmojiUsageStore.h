// EmojiUsageStore: how often and how recently each emoji was picked, and
// the preferred skin tone, in the user-defaults store ("EmojiPicker.recents",
// "EmojiPicker.usageCounts", "EmojiPicker.preferredSkinTone").
//
// Threading: the main runner (the user-defaults store itself is thread-safe).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/emoji/EmojiEntry.h"
#include "core/UserDefaults.h"

namespace pallix {

class EmojiUsageStore {
 public:
  static constexpr const char* kRecentsKey = "EmojiPicker.recents";
  static constexpr const char* kUsageCountsKey = "EmojiPicker.usageCounts";
  static constexpr const char* kPreferredSkinToneKey = "EmojiPicker.preferredSkinTone";
  static constexpr size_t kMaxRecents = 50;

  explicit EmojiUsageStore(UserDefaults& defaults) : defaults_(defaults) {}

  Status recordUsage(const std::string& identifier);
  // The recents ordered by count, highest first; ties keep recency order.
  std::vector<std::string> recentIdentifiers() const;
  int64_t usageCount(const std::string& identifier) const;
  std::optional<EmojiSkinTone> preferredSkinTone() const;
  Status updatePreferredSkinTone(std::optional<EmojiSkinTone> tone);

 private:
  UserDefaults& defaults_;
};

}  // namespace pallix
