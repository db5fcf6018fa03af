#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/clipboard/ClipboardLinkPreviewStore.h"
#include "app/clipboard/ContentDigest.h"
#include "core/FileUtil.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

struct PreviewFixture {
  explicit PreviewFixture(int maxEntries = 5) : store(dir.path(), maxEntries, clock) {}
  testing::TempDir dir;
  ManualClock clock;
  ClipboardLinkPreviewStore store;

  ClipboardLinkPreviewPayload payload(const std::string& url) {
    ClipboardLinkPreviewPayload p;
    p.urlString = url;
    p.canonicalURLString = ClipboardLinkPreviewStore::canonicalURLString(url);
    p.title = "Title of " + url;
    p.createdAt = secondsSince2001(clock.wallNow());
    return p;
  }
  size_t fileCount() {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(store.directory())) n += e.path().extension() == ".json";
    return n;
  }
};

TEST(ClipboardLinkPreviewStoreTest, FileIsSortedKeyJsonNamedBySha256) {
  PreviewFixture f;
  f.clock.setWallNow(dateFromSecondsSince1970(kSecondsFrom1970To2001 + 100));
  auto p = f.payload(" HTTPS://Example.com/A ");
  p.iconImageData = std::string("\x00\xff\x10", 3);
  ASSERT_TRUE(f.store.savePreview(p).ok());
  const std::string path = f.dir.path() + "/ClipboardLinkPreviews/" + sha256Hex("https://example.com/a") + ".json";
  EXPECT_EQ(f.store.filePath("https://example.com/a"), path);
  EXPECT_EQ(
      readFileToString(path).value(),
      R"({"canonicalURLString":"https://example.com/a","createdAt":100.0,"iconImageData":"AP8Q",)"
      R"("lastAccessedAt":100.0,"title":"Title of  HTTPS://Example.com/A ","urlString":" HTTPS://Example.com/A "})");
}

TEST(ClipboardLinkPreviewStoreTest, CanonicalLinksShareOneFileAndPathsDoNot) {
  PreviewFixture f;
  ASSERT_TRUE(f.store.savePreview(f.payload("  https://Example.com/x")).ok());
  auto loaded = f.store.loadPreview("https://example.com/X  ");
  ASSERT_TRUE(loaded.ok());
  ASSERT_TRUE(loaded.value());
  EXPECT_EQ(loaded.value()->title, "Title of   https://Example.com/x");
  EXPECT_FALSE(f.store.loadPreview("https://example.com/y").value());
}

TEST(ClipboardLinkPreviewStoreTest, PruningKeepsTheMostRecentlyUsedAndAtLeastOne) {
  for (int maxEntries : {5, 0}) {
    PreviewFixture f(maxEntries);
    const int kept = std::max(maxEntries, 1);
    for (int i = 0; i < kept; ++i) {
      f.clock.advance(seconds(1));
      ASSERT_TRUE(f.store.savePreview(f.payload("https://e.example/" + std::to_string(i))).ok());
    }
    f.clock.advance(seconds(1));
    ASSERT_TRUE(f.store.loadPreview("https://e.example/0").value());  // now the most recent
    f.clock.advance(seconds(1));
    ASSERT_TRUE(f.store.savePreview(f.payload("https://e.example/new")).ok());
    EXPECT_EQ(f.fileCount(), static_cast<size_t>(kept)) << maxEntries;
    EXPECT_EQ(f.store.loadPreview("https://e.example/0").value().has_value(), kept > 1) << maxEntries;
    if (kept > 1) {
      EXPECT_FALSE(f.store.loadPreview("https://e.example/1").value());
    }
  }
}

TEST(ClipboardLinkPreviewStoreTest, CorruptFilesFailToLoadAndArePrunedAway) {
  PreviewFixture f;
  ASSERT_TRUE(f.store.savePreview(f.payload("https://ok.example")).ok());
  const char* corruptions[] = {"", "{", "[]", R"({"urlString":"x"})",
                               R"({"urlString":"x","canonicalURLString":"x","createdAt":1,"lastAccessedAt":1,)"
                               R"("previewImageData":"*not base64*"})"};
  for (const char* text : corruptions) {
    ASSERT_TRUE(writeFileAtomically(f.store.filePath("https://bad.example"), text).ok());
    EXPECT_FALSE(f.store.loadPreview("https://bad.example").ok()) << text;
  }
  ASSERT_TRUE(f.store.savePreview(f.payload("https://other.example")).ok());
  EXPECT_FALSE(fileExists(f.store.filePath("https://bad.example")));
  EXPECT_EQ(f.fileCount(), 2u);
  ASSERT_TRUE(f.store.clearAll().ok());
  EXPECT_FALSE(isDirectory(f.store.directory()));
  EXPECT_TRUE(f.store.clearAll().ok());
}

}  // namespace
}  // namespace pallix
