// IconCache: the icons of catalog items for the panel, as files resolved
// through the IconResolver at a size in pixels (an app item whose path is a
// bare desktop-file ID, "org.gnome.TextEditor.desktop", is looked up in the
// applications folders and has no icon when none has it), kept in a bounded LRU cache
// keyed by path (and lowercased bundle identifier for apps) and size. A
// change of the interface theme clears it and renews `iconRefreshToken`.
//
// Threading: main runner; resolving runs on the background runner (the
// resolver and the entry parser are thread-safe) and replies on the main
// runner. Borrows the resolver and the entry source; must be destroyed on
// the main runner, which drops replies that outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/platform/IconResolver.h"
#include "app/search/CatalogScanner.h"
#include "app/search/IndexedItem.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"

namespace pallix {

class IconCache {
 public:
  static constexpr size_t kIconPrefetchLimit = 24;
  static constexpr size_t kIconCacheCountLimit = 320;
  static constexpr int64_t kIconCacheCostLimit = 50331648;

  // `resolver` null: no icons. `keepEntries` keeps an owned entry source
  // alive for requests in flight.
  IconCache(TaskRunnerPtr mainRunner, TaskRunnerPtr backgroundRunner, IconResolver* resolver,
            ApplicationEntrySource* entries, std::shared_ptr<ApplicationEntrySource> keepEntries);

  static std::string key(const IndexedItem& item, int size);

  void icon(const IndexedItem& item, int size, std::function<void(std::optional<std::string>)> completion);
  std::optional<std::string> cachedIcon(const IndexedItem& item, int size);
  // Starts at most kIconPrefetchLimit requests for icons not cached yet.
  void prefetchIcons(const std::vector<IndexedItem>& items, int size);
  // A different signature clears the cache and renews the refresh token.
  void handleAppearanceChange(const std::string& appearanceSignature);
  // Drops every size of the icons of `path`.
  void removeIconsForPath(const std::string& path);
  void clear();

  const UUID& iconRefreshToken() const { return iconRefreshToken_; }
  size_t count() const { return cache_.size(); }
  int64_t cost() const { return cost_; }

 private:
  struct Entry {
    std::string file;
    int64_t cost = 0;
  };
  void insert(const std::string& key, std::string file, int size);

  TaskRunnerPtr mainRunner_;
  TaskRunnerPtr backgroundRunner_;
  IconResolver* resolver_;
  ApplicationEntrySource* entries_;
  std::shared_ptr<ApplicationEntrySource> keepEntries_;
  std::list<std::string> order_;
  std::unordered_map<std::string, std::pair<Entry, std::list<std::string>::iterator>> cache_;
  int64_t cost_ = 0;
  std::string appearanceSignature_;
  UUID iconRefreshToken_ = UUID::random();
  WeakGuard weakGuard_;
};

}  // namespace pallix
