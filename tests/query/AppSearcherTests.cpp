// AppSearcher: golden ranking table, match tiers, tie-breaks, the prepared-list
// cache and its invalidation by snapshotVersion.
#include <gtest/gtest.h>

#include "app/search/AppSearcher.h"
#include "core/Strings.h"
#include "tests/query/QueryTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

IndexedItem app(const std::string& name, std::optional<std::string> bundle = std::nullopt, bool pinned = false,
                std::optional<double> lastUsed = std::nullopt) {
  IndexedItem item;
  item.itemTypeRaw = "app";
  item.name = name;
  item.searchName = name;
  item.path = "/usr/share/applications/" + name + ".desktop";
  item.bundleIdentifier = std::move(bundle);
  item.isPinned = pinned;
  if (lastUsed) item.lastUsed = dateFromSecondsSince1970(*lastUsed);
  return item;
}

// A catalog whose app list and version the test controls; counts fetches.
class FakeAppCatalog : public AppCatalogSource {
 public:
  std::optional<UUID> snapshotVersion() const override { return version; }
  Result<std::vector<IndexedItem>> apps() const override {
    ++fetchCount;
    if (failure) return *failure;
    return items;
  }

  std::vector<IndexedItem> items;
  std::optional<UUID> version = UUID::random();
  std::optional<Error> failure;
  mutable int fetchCount = 0;
};

std::string names(const std::vector<IndexedItem>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.name);
  return joinStrings(out, "|");
}

std::vector<IndexedItem> loadGoldenCatalog() {
  std::vector<IndexedItem> items;
  for (const auto& row : testing::readGoldenRows("app_catalog.tsv")) {
    EXPECT_EQ(row.columns.size(), 4u) << "line " << row.line;
    if (row.columns.size() != 4) continue;
    const auto& c = row.columns;
    items.push_back(app(c[0], c[1] == "-" ? std::nullopt : std::optional<std::string>(c[1]), c[2] == "1",
                        c[3] == "-" ? std::nullopt : std::optional<double>(std::stod(c[3]))));
  }
  return items;
}

class AppSearcherTest : public ::testing::Test {
 protected:
  void SetUp() override { AppSearcher::resetCache(); }
  void TearDown() override { AppSearcher::resetCache(); }

  std::string search(const std::string& text) {
    auto result = AppSearcher::fetchApps(catalog, text, catalog.version);
    EXPECT_TRUE(result.ok());
    return result.ok() ? names(result.value()) : "<error>";
  }

  FakeAppCatalog catalog;
};

TEST_F(AppSearcherTest, GoldenRankingTable) {
  catalog.items = loadGoldenCatalog();
  ASSERT_EQ(catalog.items.size(), 18u);
  const auto rows = testing::readGoldenRows("app_ranking_golden.tsv");
  ASSERT_GT(rows.size(), 20u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.columns.size(), 2u) << "line " << row.line;
    EXPECT_EQ(search(row.columns[0]), row.columns[1]) << "line " << row.line << ": query '" << row.columns[0] << "'";
  }
  // The whole table ran against one prepared list.
  EXPECT_EQ(catalog.fetchCount, 1);
}

TEST_F(AppSearcherTest, KeywordsMatchBelowEveryNameTier) {
  auto withKeywords = [](IndexedItem item, std::vector<std::string> keywords) {
    item.keywords = std::move(keywords);
    return item;
  };
  // Recently used apps found by a keyword still follow every name match.
  catalog.items = {withKeywords(app("Files", "org.gnome.Nautilus", false, 9e9), {"File Manager", "Folder"}),
                   app("Folder Colors", "x.colors"), app("Old Folders", "x.old"),
                   withKeywords(app("Rechner", "org.gnome.Calculator", false, 9e9), {"Calculator", "Math"}),
                   app("Calcurse", "x.calcurse")};
  const std::pair<const char*, const char*> cases[] = {
      {"folder", "Folder Colors|Old Folders|Files"},
      {"calc", "Calcurse|Rechner"},
      {"MATH", "Rechner"},
      {"manager", "Files"},
      {"gnome", "Files|Rechner"},  // bundle identifiers: the same tier, most recent first
  };
  for (const auto& [query, expected] : cases) {
    catalog.version = UUID::random();
    EXPECT_EQ(search(query), expected) << query;
  }
}

TEST_F(AppSearcherTest, PreparedListOfAppsIsReusedOnlyForTheSameNonEmptyVersionAndFetchErrorsArePassedOn) {
  // An empty list is fetched again even with the same version; records that are no apps are left out.
  search("s");
  IndexedItem file = app("Safari notes");
  file.itemTypeRaw = "file";
  catalog.items = {app("Safari", "s"), file};
  EXPECT_EQ(search("s"), "Safari");
  EXPECT_EQ(catalog.fetchCount, 2);
  // Same version: the prepared list is reused.
  catalog.items.push_back(app("Slack", "k"));
  EXPECT_EQ(search("s"), "Safari");
  EXPECT_EQ(catalog.fetchCount, 2);
  EXPECT_EQ(AppSearcher::cachedSnapshotVersion(), catalog.version);
  // New version: added and removed apps show.
  catalog.items = {app("Slack", "k"), app("Sketch", "k")};
  catalog.version = UUID::random();
  EXPECT_EQ(search("s"), "Sketch|Slack");
  EXPECT_EQ(catalog.fetchCount, 3);
  // Absent version: never reused.
  catalog.version = std::nullopt;
  search("s");
  search("s");
  EXPECT_EQ(catalog.fetchCount, 5);
  EXPECT_EQ(AppSearcher::cachedSnapshotVersion(), std::nullopt);
  // A failed fetch is passed on.
  catalog.version = UUID::random();
  catalog.failure = Error("CatalogStoreError", 2, "fetch failed: disk I/O error");
  EXPECT_TRUE(
      testing::failsWith(AppSearcher::fetchApps(catalog, "s", catalog.version), "fetch failed: disk I/O error"));
}

TEST_F(AppSearcherTest, SortReranksAfterALaunch) {
  std::vector<IndexedItem> apps = {app("Safari", "s", false, 10), app("Sampler", "p", false, 20)};
  EXPECT_EQ(names(AppSearcher::sort(apps, "sa")), "Sampler|Safari");
  apps[0].lastUsed = dateFromSecondsSince1970(30);
  EXPECT_EQ(names(AppSearcher::sort(apps, "sa")), "Safari|Sampler");
  // Unmatched apps are ranked last, not dropped.
  apps.push_back(app("Zoom", "z", false, 99));
  EXPECT_EQ(names(AppSearcher::sort(apps, "sa")), "Safari|Sampler|Zoom");
  // Equal apps keep their order.
  apps.insert(apps.begin(), apps[1]);
  apps[0].path = "/copy";
  EXPECT_EQ(AppSearcher::sort(apps, "sa")[1].path, "/copy");
}

}  // namespace
}  // namespace pallix
