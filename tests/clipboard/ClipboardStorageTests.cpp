// How much room the clipboard history takes: text stored once, a size limit
// that removes the oldest items first, and the space of deleted items given
// back to the file system.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ClipboardTestSupport.h"
#include "app/clipboard/ClipboardStore.h"
#include "app/platform/ClipboardStoreSchema.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::ClipboardFixture;

constexpr int64_t kMiB = int64_t{1} << 20;

std::string text(char fill, size_t bytes) {
  std::string out(bytes, fill);
  out.front() = '<';
  out.back() = '>';
  return out;
}

int64_t storeFileBytes(const std::string& path) {
  int64_t total = 0;
  for (const char* suffix : {"", "-wal"}) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path + suffix, error);
    if (!error) total += static_cast<int64_t>(size);
  }
  return total;
}

TEST(ClipboardStorageTest, TextIsStoredOnceAndReadBackByteForByte) {
  testing::TempDir dir;
  const std::string path = dir / "Pallix.sqlite";
  ClipboardFixture f(path);
  f.start();
  std::string sample = "caf\xc3\xa9 \t tab\r\nline\n";
  sample += text('q', 2 * kMiB);
  f.copyText(sample);
  for (char fill = 'a'; fill < 'a' + 11; ++fill) f.copyText(text(fill, 2 * kMiB));
  f.env.advanceBy(seconds(1));
  ASSERT_EQ(f.storedCount(), 12);
  ASSERT_TRUE(f.db->execute("PRAGMA wal_checkpoint(TRUNCATE)").ok());
  const int64_t payload = f.store->payloadBytes().value();
  EXPECT_GE(payload, 24 * kMiB);
  EXPECT_LE(storeFileBytes(path), payload * 12 / 10) << "payload " << payload;
  const auto items = f.stored();
  const auto reps = f.store->loadRepresentations(items.back().id).value();
  ASSERT_EQ(reps.size(), 1u);
  EXPECT_EQ(reps[0].data, sample);
  EXPECT_EQ(reps[0].stringValue, sample);
}

TEST(ClipboardStorageTest, AStoreThatHeldTextTwiceKeepsItOnceAfterTheUpgrade) {
  testing::TempDir dir;
  const std::string path = dir / "Pallix.sqlite";
  std::vector<MigrationStep> earlier = catalogMigrationSteps();
  while (!earlier.empty() && earlier.back().description != "clipboard history: text stored once") earlier.pop_back();
  ASSERT_FALSE(earlier.empty());
  earlier.pop_back();
  {
    auto db = PersistentStore::open(path, earlier).value();
    ASSERT_TRUE(db->execute("INSERT INTO ClipboardItem (id, createdAt, primaryText) VALUES (1, 1.7e9, 'twice');"
                            "INSERT INTO ClipboardRepresentation (id, item, typeIdentifier, stringValue, \"order\","
                            " byteCount, hasData) VALUES (5, 1, 'text/plain;charset=utf-8', 'twice', 0, 5, 1);"
                            "INSERT INTO ClipboardRepresentationData VALUES (5, CAST('twice' AS BLOB));"
                            // A string that differs from its bytes is kept.
                            "INSERT INTO ClipboardItem (id, createdAt, primaryText) VALUES (2, 1.7e9, 'other');"
                            "INSERT INTO ClipboardRepresentation (id, item, typeIdentifier, stringValue, \"order\","
                            " byteCount, hasData) VALUES (6, 2, 'text/plain;charset=utf-8', 'other', 0, 5, 1);"
                            "INSERT INTO ClipboardRepresentationData VALUES (6, CAST('bytes' AS BLOB));")
                    .ok());
  }
  ClipboardFixture f(path);
  auto strings = f.db->prepare("SELECT id FROM ClipboardRepresentation WHERE stringValue IS NOT NULL").value();
  ASSERT_TRUE(strings.step().value());
  EXPECT_EQ(strings.columnInt(0), 6);
  EXPECT_FALSE(strings.step().value());
  const auto reps = f.store->loadRepresentations(1).value();
  ASSERT_EQ(reps.size(), 1u);
  EXPECT_EQ(reps[0].stringValue, "twice");
  EXPECT_EQ(f.store->loadRepresentations(2).value()[0].stringValue, "other");
}

TEST(ClipboardStorageTest, TheOldestItemsGoWhenTheHistoryOutgrowsItsLimit) {
  ClipboardFixture f;
  f.settings.maxStorageBytes = 3 * kMiB + 100;
  f.start();
  for (char fill = 'a'; fill < 'f'; ++fill) {
    f.copyText(text(fill, kMiB));
    f.env.advanceBy(seconds(1));
  }
  auto items = f.stored();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].primaryText->substr(1, 3), "eee");
  EXPECT_EQ(items[2].primaryText->substr(1, 3), "ccc");
  // Copying an older item again makes it the newest, so it stays.
  f.copyText(text('c', kMiB));
  f.copyText("small");
  f.env.advanceBy(seconds(1));
  items = f.stored();
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[1].primaryText->substr(1, 3), "ccc");
  // One copy larger than the whole limit is still kept, alone.
  f.copyText(text('z', 4 * kMiB));
  f.env.advanceBy(seconds(1));
  items = f.stored();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].primaryText->substr(1, 3), "zzz");
  // A lower limit applies at once.
  f.settings.maxStorageBytes = kMiB;
  f.copyText("after");
  f.env.advanceBy(seconds(1));
  EXPECT_EQ(f.storedCount(), 1);
}

TEST(ClipboardStorageTest, DeletedItemsGiveTheirSpaceBack) {
  testing::TempDir dir;
  const std::string path = dir / "Pallix.sqlite";
  ClipboardFixture f(path);
  int reclaims = 0;
  f.reclaimSpace = [&]() -> Status {
    ++reclaims;
    auto db = PersistentStore::open(path, catalogMigrationSteps(), false).value();
    PALLIX_RETURN_IF_ERROR(db->execute("VACUUM"));
    return db->execute("PRAGMA wal_checkpoint(TRUNCATE)");
  };
  f.start();
  for (char fill = 'a'; fill < 'a' + 20; ++fill) f.copyText(text(fill, 2 * kMiB));
  f.env.advanceBy(seconds(1));
  ASSERT_TRUE(f.db->execute("PRAGMA wal_checkpoint(TRUNCATE)").ok());
  const int64_t full = storeFileBytes(path);
  EXPECT_GE(full, 40 * kMiB);
  // A small deletion is not worth a copy of the store.
  f.service->deleteItem(f.stored().front());
  f.env.runUntilIdle();
  EXPECT_EQ(reclaims, 0);
  f.service->clearHistory();
  f.env.runUntilIdle();
  EXPECT_EQ(reclaims, 1);
  EXPECT_LT(storeFileBytes(path), 2 * kMiB);
  // The history goes on as before.
  f.copyText("after the reclaim");
  f.env.advanceBy(seconds(1));
  EXPECT_EQ(f.storedCount(), 1);
}

}  // namespace
}  // namespace pallix
