#include "app/search/AppSearcher.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <mutex>

#include "core/Strings.h"

namespace pallix {

namespace {

struct CachedIndex {
  std::optional<UUID> snapshotVersion;
  std::shared_ptr<const std::vector<IndexedApp>> entries;
};

std::mutex& cacheMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

CachedIndex& cachedIndex() {
  static CachedIndex* index = new CachedIndex();
  return *index;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string lowercase(std::string_view text) {
  if (isAscii(text)) return asciiLowercase(text);
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

// Trim Unicode whitespace and newlines, then lowercase.
std::string normalize(std::string_view text) {
  if (isAscii(text)) return asciiLowercase(trimWhitespace(text));
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  int32_t start = 0;
  int32_t end = unicode.length();
  while (start < end && u_isUWhiteSpace(unicode.char32At(start))) start = unicode.moveIndex32(start, 1);
  while (end > start) {
    const int32_t previous = unicode.moveIndex32(end, -1);
    if (!u_isUWhiteSpace(unicode.char32At(previous))) break;
    end = previous;
  }
  icu::UnicodeString trimmed(unicode, start, end - start);
  trimmed.toLower(icu::Locale::getRoot());
  std::string out;
  trimmed.toUTF8String(out);
  return out;
}

// Sorts records by name the way the platform's file browser does:
// case-insensitive, numbers by value.
void sortByLocalizedName(std::vector<IndexedItem>& items) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !collator) {
    std::stable_sort(items.begin(), items.end(),
                     [](const IndexedItem& a, const IndexedItem& b) { return a.name < b.name; });
    return;
  }
  collator->setStrength(icu::Collator::SECONDARY);
  collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
  std::stable_sort(items.begin(), items.end(), [&](const IndexedItem& a, const IndexedItem& b) {
    UErrorCode compareStatus = U_ZERO_ERROR;
    return collator->compareUTF8(a.name, b.name, compareStatus) == UCOL_LESS;
  });
}

AppRanking rankingFor(const IndexedApp& app, std::string_view query, int tier) {
  AppRanking ranking;
  ranking.isPinned = app.item.isPinned;
  ranking.isSearching = !query.empty();
  ranking.priority = tier;
  ranking.lastUsed = app.item.lastUsed.value_or(Date::min());
  ranking.name = app.item.name;
  ranking.normalizedName = app.normalizedName;
  return ranking;
}

// Ranks `apps` for `query` and returns their records, dropping non-matches
// when `dropNonMatches` and the query is non-empty.
std::vector<IndexedItem> rank(const std::vector<IndexedApp>& apps, std::string_view query, bool dropNonMatches) {
  std::vector<std::pair<AppRanking, const IndexedApp*>> ranked;
  ranked.reserve(apps.size());
  for (const IndexedApp& app : apps) {
    const int tier = query.empty() ? 3 : AppSearcher::matchTier(app, query);
    if (dropNonMatches && !query.empty() && tier == AppSearcher::kNoMatch) continue;
    ranked.emplace_back(rankingFor(app, query, tier), &app);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return AppRanking::before(a.first, b.first); });
  std::vector<IndexedItem> out;
  out.reserve(ranked.size());
  for (const auto& entry : ranked) out.push_back(entry.second->item);
  return out;
}

}  // namespace

bool AppRanking::before(const AppRanking& a, const AppRanking& b) {
  if (!a.isSearching && a.isPinned != b.isPinned) return a.isPinned;
  if (a.priority != b.priority) return a.priority < b.priority;
  if (a.lastUsed != b.lastUsed) return a.lastUsed > b.lastUsed;
  return a.normalizedName < b.normalizedName;
}

std::string AppSearcher::normalizeQuery(std::string_view text) {
  return normalize(text);
}

int AppSearcher::matchTier(const IndexedApp& app, std::string_view query) {
  const std::string_view name = app.normalizedName;
  if (name == query) return 0;
  if (startsWith(name, query)) return 1;
  if (name.find(query) != std::string_view::npos) return 2;
  if (app.normalizedBundleIdentifier.find(query) != std::string::npos) return 3;
  for (const std::string& keyword : app.normalizedKeywords) {
    if (keyword.find(query) != std::string::npos) return 3;
  }
  return kNoMatch;
}

IndexedApp AppSearcher::prepare(IndexedItem item) {
  IndexedApp app;
  app.normalizedName = lowercase(item.name);
  app.normalizedBundleIdentifier = item.bundleIdentifier ? lowercase(*item.bundleIdentifier) : std::string();
  app.normalizedKeywords.reserve(item.keywords.size());
  for (const std::string& keyword : item.keywords) app.normalizedKeywords.push_back(lowercase(keyword));
  app.item = std::move(item);
  return app;
}

Result<std::vector<IndexedItem>> AppSearcher::fetchApps(const AppCatalogSource& source, std::string_view text,
                                                        std::optional<UUID> snapshotVersion) {
  std::shared_ptr<const std::vector<IndexedApp>> entries;
  {
    std::lock_guard<std::mutex> lock(cacheMutex());
    const CachedIndex& cache = cachedIndex();
    if (snapshotVersion && cache.snapshotVersion == snapshotVersion && cache.entries && !cache.entries->empty()) {
      entries = cache.entries;
    }
  }
  if (!entries) {
    PALLIX_ASSIGN_OR_RETURN(std::vector<IndexedItem> records, source.apps());
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [](const IndexedItem& item) { return item.itemTypeRaw != "app"; }),
                  records.end());
    sortByLocalizedName(records);
    auto prepared = std::make_shared<std::vector<IndexedApp>>();
    prepared->reserve(records.size());
    for (IndexedItem& record : records) prepared->push_back(prepare(std::move(record)));
    entries = prepared;
    std::lock_guard<std::mutex> lock(cacheMutex());
    cachedIndex() = CachedIndex{snapshotVersion, entries};
  }
  return rank(*entries, normalizeQuery(text), /*dropNonMatches=*/true);
}

std::vector<IndexedItem> AppSearcher::sort(const std::vector<IndexedItem>& apps, std::string_view normalizedQuery) {
  std::vector<IndexedApp> prepared;
  prepared.reserve(apps.size());
  for (const IndexedItem& item : apps) prepared.push_back(prepare(item));
  return rank(prepared, normalizedQuery, /*dropNonMatches=*/false);
}

void AppSearcher::resetCache() {
  std::lock_guard<std::mutex> lock(cacheMutex());
  cachedIndex() = CachedIndex{};
}

std::optional<UUID> AppSearcher::cachedSnapshotVersion() {
  std::lock_guard<std::mutex> lock(cacheMutex());
  return cachedIndex().entries ? cachedIndex().snapshotVersion : std::nullopt;
}

}  // namespace pallix
