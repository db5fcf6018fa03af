// AppSearcher: the panel's application search. Given typed text it returns the
// catalog's apps that match, best first; given empty text every app in
// launcher-grid order (pinned, then most recently launched, then by name).
//
// The prepared app list (names lowercased once) is cached process-wide and
// rebuilt only when the catalog's snapshotVersion changes, so a keystroke
// costs one pass of string comparisons and no store query. The cache is a
// single immutable list replaced whole under a mutex: calls may come from any
// thread, though the search session makes them from the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/search/IndexedItem.h"
#include "core/Error.h"
#include "core/UUID.h"

namespace pallix {

// Where AppSearcher reads the catalog's apps; implemented by the catalog.
class AppCatalogSource {
 public:
  virtual ~AppCatalogSource() = default;
  // The catalog's current snapshot version (renewed on every change).
  virtual std::optional<UUID> snapshotVersion() const = 0;
  // Every record whose itemTypeRaw is "app", in any order.
  virtual Result<std::vector<IndexedItem>> apps() const = 0;
};

// An app of the prepared list.
struct IndexedApp {
  IndexedItem item;
  std::string normalizedName;
  // Lowercased bundle identifier; empty when absent.
  std::string normalizedBundleIdentifier;
  // The record's keywords (generic name, untranslated name, keywords), lowercased.
  std::vector<std::string> normalizedKeywords;
};

// The sort key of one app for one query.
struct AppRanking {
  bool isPinned = false;
  bool isSearching = false;
  int priority = 3;
  Date lastUsed{};
  std::string name;
  std::string normalizedName;

  // True when `a` ranks before `b`.
  static bool before(const AppRanking& a, const AppRanking& b);
};

class AppSearcher {
 public:
  static constexpr int kNoMatch = 4;

  // Apps matching `text` (any case, surrounding whitespace ignored), best
  // first; every app for an empty text. The cache is reused only when
  // `snapshotVersion` is present and equal to the cached one. Fails with the
  // catalog's fetch error.
  static Result<std::vector<IndexedItem>> fetchApps(const AppCatalogSource& source, std::string_view text,
                                                    std::optional<UUID> snapshotVersion);
  // Ranks an already fetched list with the same key as fetchApps (nothing is
  // dropped); used after a launch changed lastUsed.
  static std::vector<IndexedItem> sort(const std::vector<IndexedItem>& apps, std::string_view normalizedQuery);

  // Trim whitespace and newlines, lowercase (full Unicode case mapping).
  static std::string normalizeQuery(std::string_view text);
  // The match tier of an app for a non-empty normalised query: 0 the name
  // equals it, 1 the name starts with it, 2 the name contains it, 3 the
  // bundle identifier or a keyword contains it (so a keyword never lifts an
  // app above any name match), 4 none.
  static int matchTier(const IndexedApp& app, std::string_view normalizedQuery);
  static IndexedApp prepare(IndexedItem item);

  // Drops the process-wide prepared list (tests, memory pressure).
  static void resetCache();
  // The version the cached list was built for; none when empty or unversioned.
  static std::optional<UUID> cachedSnapshotVersion();
};

}  // namespace pallix
