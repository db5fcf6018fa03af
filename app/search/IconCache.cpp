#include "app/search/IconCache.h"

#include <filesystem>

#include "core/Strings.h"

namespace pallix {
namespace {

bool isDesktopFileID(const std::string& path) {
  return !path.empty() && path[0] != '/' && endsWith(path, ".desktop") && path.find('/') == std::string::npos;
}

// The entry file of a desktop-file ID in the first applications folder that
// has it ("org.a-b.desktop" may also be "org/a/b.desktop" there).
std::optional<std::string> desktopEntryPathForID(ApplicationEntrySource& entries, const std::string& id) {
  std::string nested = id;
  for (char& c : nested) {
    if (c == '-') c = '/';
  }
  for (const ApplicationDirectory& dir : entries.directories()) {
    for (const std::string& name : {id, nested}) {
      const std::string path = dir.path + "/" + name;
      std::error_code error;
      if (std::filesystem::is_regular_file(path, error)) return path;
    }
  }
  return std::nullopt;
}

}  // namespace

IconCache::IconCache(TaskRunnerPtr mainRunner, TaskRunnerPtr backgroundRunner, IconResolver* resolver,
                     ApplicationEntrySource* entries, std::shared_ptr<ApplicationEntrySource> keepEntries)
    : mainRunner_(std::move(mainRunner)),
      backgroundRunner_(std::move(backgroundRunner)),
      resolver_(resolver),
      entries_(entries),
      keepEntries_(std::move(keepEntries)) {}

std::string IconCache::key(const IndexedItem& item, int size) {
  std::string key = item.path;
  if (item.itemType() == IndexedItem::ItemType::app && item.bundleIdentifier) {
    key += "#" + asciiLowercase(*item.bundleIdentifier);
  }
  return key + "@" + std::to_string(size);
}

void IconCache::insert(const std::string& key, std::string file, int size) {
  const int64_t cost = static_cast<int64_t>(size) * size * 4;
  auto existing = cache_.find(key);
  if (existing != cache_.end()) {
    cost_ -= existing->second.first.cost;
    order_.erase(existing->second.second);
    cache_.erase(existing);
  }
  order_.push_front(key);
  cache_.emplace(key, std::make_pair(Entry{std::move(file), cost}, order_.begin()));
  cost_ += cost;
  while (!order_.empty() && (cache_.size() > kIconCacheCountLimit || cost_ > kIconCacheCostLimit)) {
    auto last = cache_.find(order_.back());
    cost_ -= last->second.first.cost;
    cache_.erase(last);
    order_.pop_back();
  }
}

void IconCache::removeIconsForPath(const std::string& path) {
  for (auto it = cache_.begin(); it != cache_.end();) {
    if (startsWith(it->first, path) && it->first.size() > path.size() &&
        (it->first[path.size()] == '@' || it->first[path.size()] == '#')) {
      cost_ -= it->second.first.cost;
      order_.erase(it->second.second);
      it = cache_.erase(it);
    } else {
      ++it;
    }
  }
}

void IconCache::clear() {
  cache_.clear();
  order_.clear();
  cost_ = 0;
}

std::optional<std::string> IconCache::cachedIcon(const IndexedItem& item, int size) {
  auto it = cache_.find(key(item, size));
  if (it == cache_.end()) return std::nullopt;
  order_.splice(order_.begin(), order_, it->second.second);
  return it->second.first.file;
}

void IconCache::icon(const IndexedItem& item, int size, std::function<void(std::optional<std::string>)> completion) {
  if (auto cached = cachedIcon(item, size)) {
    if (completion) completion(cached);
    return;
  }
  auto deliver = weakGuard_.wrap([this, key = key(item, size), size, completion](std::optional<std::string> file) {
    if (file) insert(key, *file, size);
    if (completion) completion(file);
  });
  backgroundRunner_->post(
      [item, size, resolver = resolver_, entries = entries_, keepEntries = keepEntries_, deliver, main = mainRunner_] {
        std::optional<std::string> file;
        if (resolver) {
          if (item.itemType() == IndexedItem::ItemType::app && isDesktopFileID(item.path)) {
            // An application known by its desktop-file ID only (where a
            // copy came from): its entry's icon, or none.
            if (auto entryPath = entries ? desktopEntryPathForID(*entries, item.path) : std::nullopt) {
              auto entry = entries->parse(*entryPath, item.path);
              if (entry.ok() && entry->icon) file = resolver->resolve(*entry->icon, size);
            }
          } else if (item.itemType() == IndexedItem::ItemType::app) {
            if (endsWith(item.path, ".desktop")) {
              auto entry = entries->parse(item.path, item.bundleIdentifier.value_or(""));
              if (entry.ok() && entry->icon) file = resolver->resolve(*entry->icon, size);
            }
            if (!file) file = resolver->resolve("application-x-executable", size);
          } else {
            file = resolver->resolve(
                resolver->iconNameForFile(item.path, item.itemType() == IndexedItem::ItemType::folder), size);
          }
        }
        main->post([deliver, file]() mutable { deliver(file); });
      });
}

void IconCache::prefetchIcons(const std::vector<IndexedItem>& items, int size) {
  size_t started = 0;
  for (const IndexedItem& item : items) {
    if (started >= kIconPrefetchLimit) break;
    if (cache_.count(key(item, size))) continue;
    icon(item, size, nullptr);
    ++started;
  }
}

void IconCache::handleAppearanceChange(const std::string& appearanceSignature) {
  if (appearanceSignature == appearanceSignature_) return;
  appearanceSignature_ = appearanceSignature;
  clear();
  iconRefreshToken_ = UUID::random();
}

}  // namespace pallix
