// What the message store adds to the shared design: the legacy file, the
// empty-save guard, metadata parsing, the date filter and the candidate
// count, and waiting for the graph on large indexes.
#include <gtest/gtest.h>

#include "app/semantic/EmbeddingStoreErrors.h"
#include "tests/semantic/SemanticTestSupport.h"

namespace pallix {
namespace {

using testing::StoreFixture;

// Message chunks of conversation "chat" spanning [start, start + 60] each.
std::vector<ChunkInput> messageChunks(std::size_t count, double firstStart = 1000) {
  std::vector<ChunkInput> out;
  for (std::size_t i = 0; i < count; ++i) {
    MessageChunkMetadata m;
    m.chatGUID = i % 2 ? "chat-b" : "chat-a";
    m.messageRowIDs = {int64_t(i) + 1};
    m.messageGUIDs = {"guid-" + std::to_string(i)};
    m.startDate = firstStart + 100.0 * double(i);
    m.endDate = m.startDate + 60;
    m.combinedText = "message about topic " + std::to_string(i);
    out.push_back({"m" + std::to_string(i), m.combinedText, m.toMap()});
  }
  return out;
}

class MessageEmbeddingStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<MessageEmbeddingStore> openStore() { return f.opened(f.messageStore()); }
  std::vector<MessageChunkSearchResult> search(MessageEmbeddingStore& store, std::optional<ChunkDateRange> range,
                                               CancellationToken token = {}) {
    return f.await<std::vector<MessageChunkSearchResult>>(
        [&](auto done) { store.searchSemanticOnly("message about topic", 10, range, token, done); });
  }
  StoreFixture f;
};

TEST_F(MessageEmbeddingStoreTest, LegacyFileIsDeletedAndAnEmptySaveOverAPersistedIndexNeedsAReason) {
  f.dir.write("data/MessageChunks.dat", "old format");
  auto store = openStore();
  EXPECT_FALSE(f.exists("MessageChunks.dat"));
  auto chunks = messageChunks(10);
  ASSERT_TRUE(f.run([&](auto done) { store->addChunks(chunks, nullptr, done); }).ok());
  ASSERT_TRUE(f.run([&](auto done) { store->save(MessageSaveIntent::routine("test"), done); }).ok());
  std::vector<std::string> ids;
  for (const auto& c : chunks) ids.push_back(c.id);
  ASSERT_TRUE(f.run([&](auto done) { store->removeChunks(ids, done); }).ok());

  Status blocked = f.run([&](auto done) { store->save(MessageSaveIntent::routine("termination"), done); });
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error().description(), "Blocked empty index save (previous persisted chunk count: 10)");
  auto signals = f.telemetry.sink().named("MessageEmbeddingStore.destructiveEmptySavePrevented");
  ASSERT_EQ(signals.size(), 1u);
  EXPECT_EQ(signals[0].parameters.at("lastPersistedChunkCount"), "10");
  EXPECT_TRUE(f.exists("MessageChunks.mmap.lz"));

  ASSERT_TRUE(f.run([&](auto done) {
                 store->save(MessageSaveIntent::allowingEmpty("settings", "user cleared history"), done);
               }).ok());
  auto reopened = openStore();
  EXPECT_EQ(f.snapshot(*reopened).chunkCount, 0);
}

TEST_F(MessageEmbeddingStoreTest, MetadataThatDoesNotParseYieldsNoResult) {
  auto store = f.messageStore();
  const auto good = messageChunks(1)[0].metadata;
  auto with = [&](const char* key, const char* value) {
    auto m = good;
    m[key] = value;
    return m;
  };
  auto without = good;
  without.erase("chatGUID");
  struct Case {
    const char* name;
    std::map<std::string, std::string> metadata;
  };
  const Case cases[] = {{"missing key", without},
                        {"guids not JSON", with("messageGUIDs", "[oops")},
                        {"row ids of strings", with("messageRowIDs", "[\"a\"]")},
                        {"empty guids", with("messageGUIDs", "[]")},
                        {"empty row ids", with("messageRowIDs", "[]")},
                        {"date not a number", with("endDate", "yesterday")}};
  EXPECT_TRUE(store->parseMetadata(good).has_value());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(store->parseMetadata(c.metadata).has_value());
  }
}

TEST_F(MessageEmbeddingStoreTest, DateRangeAndMaintenanceGoByTheChunksDates) {
  auto store = openStore();
  ASSERT_TRUE(f.run([&](auto done) { store->addChunks(messageChunks(6), nullptr, done); }).ok());
  EXPECT_EQ(search(*store, std::nullopt).size(), 6u);
  // Chunk i spans [1000 + 100 i, 1060 + 100 i]: [1150, 1310] overlaps chunks 1, 2 and 3.
  std::set<std::string> ids;
  for (const auto& r : search(*store, ChunkDateRange{1150, 1310})) ids.insert(r.chunkID);
  EXPECT_EQ(ids, (std::set<std::string>{"m1", "m2", "m3"}));
  TaskHandle cancelled = TaskHandle::make();
  cancelled.cancel();
  EXPECT_TRUE(search(*store, std::nullopt, cancelled.token()).empty());

  auto last = f.await<std::optional<std::pair<std::string, MessageChunkMetadata>>>(
      [&](auto done) { store->getLastChunk("chat-b", done); });
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->first, "m5");  // chat-b holds m1, m3, m5; m5 ends last
  // Chunks end at 1060, 1160, ...: a cutoff of 1250 removes m0 and m1.
  auto removed = f.await<Result<int64_t>>([&](auto done) { store->deleteChunksOlderThan(1250, done); });
  EXPECT_EQ(removed.valueOr(-1), 2);
  EXPECT_EQ(f.snapshot(*store).chunkCount, 4);
}

TEST_F(MessageEmbeddingStoreTest, CandidateCountFollowsTheIndexSize) {
  struct Case {
    int64_t chunks;
    int limit;
    int64_t expected;
  };
  const Case cases[] = {{0, 10, 0},       {150, 10, 150},      {4000, 10, 2000}, {4001, 10, 256},
                        {10000, 20, 480}, {10000, 500, 10000}, {300, 1000, 300}};
  for (const auto& c : cases) {
    EXPECT_EQ(MessageEmbeddingStore::candidateCount(c.chunks, c.limit), c.expected) << c.chunks << " " << c.limit;
  }
}

TEST_F(MessageEmbeddingStoreTest, SearchOverALargeIndexWaitsForTheGraph) {
  // 4001 chunks written directly (no embedding), so the graph is built on load.
  std::vector<IndexItem> items = testing::fileItems(4001, 32, 12);
  auto chunks = messageChunks(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) items[i].metadata = chunks[i].metadata;
  f.writeItemFile(items, MessageEmbeddingStore::kIndexName, true);
  ASSERT_TRUE(f.defaults.set(MessageEmbeddingStore::kModelVersionKey, 3).ok());
  f.background = std::make_shared<testing::HeldRunner>(f.env.clock());
  auto store = openStore();
  std::optional<std::vector<MessageChunkSearchResult>> results;
  store->searchSemanticOnly("topic", 5, std::nullopt, {},
                            Completion<std::vector<MessageChunkSearchResult>>([&](auto r) { results = r; }));
  f.env.runUntilIdle();
  EXPECT_FALSE(results.has_value());  // waiting for the held graph load
  f.background->runAll();
  f.env.runUntilIdle();
  ASSERT_TRUE(results.has_value());
  EXPECT_FALSE(results->empty());
}

}  // namespace
}  // namespace pallix
