#include "app/emoji/EmojiUsageStore.h"

#include <algorithm>

namespace pallix {

Status EmojiUsageStore::recordUsage(const std::string& identifier) {
  nlohmann::json counts = defaults_.dictionaryValue(kUsageCountsKey).value_or(nlohmann::json::object());
  int64_t count =
      counts.contains(identifier) && counts[identifier].is_number_integer() ? counts[identifier].get<int64_t>() : 0;
  counts[identifier] = count + 1;
  PALLIX_RETURN_IF_ERROR(defaults_.setDictionary(kUsageCountsKey, counts));
  std::vector<std::string> recents = defaults_.stringArrayValue(kRecentsKey).value_or(std::vector<std::string>{});
  recents.erase(std::remove(recents.begin(), recents.end(), identifier), recents.end());
  recents.insert(recents.begin(), identifier);
  if (recents.size() > kMaxRecents) recents.resize(kMaxRecents);
  return defaults_.set(kRecentsKey, recents);
}

int64_t EmojiUsageStore::usageCount(const std::string& identifier) const {
  auto counts = defaults_.dictionaryValue(kUsageCountsKey);
  if (!counts || !counts->contains(identifier) || !(*counts)[identifier].is_number_integer()) return 0;
  return (*counts)[identifier].get<int64_t>();
}

std::vector<std::string> EmojiUsageStore::recentIdentifiers() const {
  std::vector<std::string> recents = defaults_.stringArrayValue(kRecentsKey).value_or(std::vector<std::string>{});
  nlohmann::json counts = defaults_.dictionaryValue(kUsageCountsKey).value_or(nlohmann::json::object());
  auto countOf = [&](const std::string& id) -> int64_t {
    auto it = counts.find(id);
    return it != counts.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
  };
  std::stable_sort(recents.begin(), recents.end(),
                   [&](const std::string& a, const std::string& b) { return countOf(a) > countOf(b); });
  return recents;
}

std::optional<EmojiSkinTone> EmojiUsageStore::preferredSkinTone() const {
  auto raw = defaults_.stringValue(kPreferredSkinToneKey);
  return raw ? skinToneFromRawValue(*raw) : std::nullopt;
}

Status EmojiUsageStore::updatePreferredSkinTone(std::optional<EmojiSkinTone> tone) {
  if (!tone) return defaults_.remove(kPreferredSkinToneKey);
  return defaults_.set(kPreferredSkinToneKey, std::string(skinToneRawValue(*tone)));
}

}  // namespace pallix
