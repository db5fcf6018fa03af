// The shared embedding-store design, through the file store: metadata-only
// start-up, model versions, recovery from damaged files, saving, graph
// repair, rebuild policy, the idle unload and the metadata cache; then what
// the message store adds: the legacy file, the empty-save guard, metadata
// parsing, the date filter and the candidate count, and waiting for the
// graph on large indexes.
#include <gtest/gtest.h>

#include <fstream>

#include "SimilaritySearchKit/HNSWIndex.h"
#include "app/semantic/EmbeddingStoreErrors.h"
#include "app/semantic/Lzfse.h"
#include "tests/semantic/SemanticTestSupport.h"

namespace pallix {
namespace {

using testing::StoreFixture;

constexpr std::size_t kTinyDimension = 32;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileEmbeddingStoreTest : public ::testing::Test {
 protected:
  // A store initialized over `items` already on disk (compressed, current version).
  std::shared_ptr<FileEmbeddingStore> openWith(const std::vector<IndexItem>& items) {
    f.writeItemFile(items, FileEmbeddingStore::kIndexName);
    EXPECT_TRUE(f.defaults.set(FileEmbeddingStore::kModelVersionKey, 3).ok());
    return f.opened(f.fileStore());
  }
  std::vector<FileChunkSearchResult> search(FileEmbeddingStore& store, const std::string& query, int limit = 5) {
    return f.await<std::vector<FileChunkSearchResult>>([&](auto done) { store.search(query, limit, done); });
  }
  std::string path(const std::string& name) const { return f.data() + "/" + name; }

  StoreFixture f;
};

// What start-up keeps of the files it finds: the index of the current or an
// unrecorded model version; not an older one, and nothing damaged.
TEST_F(FileEmbeddingStoreTest, StartUpKeepsOnlyAReadableIndexOfTheCurrentModel) {
  f.writeItemFile(testing::fileItems(40, kTinyDimension, 3), "good");
  const std::string good = readAll(f.data() + "/good.mmap.lz");
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x55;
  struct Case {
    const char* name;
    const char* file;
    std::string bytes;
    std::optional<int64_t> version;
    const char* signal;  // nullptr: the index is kept silently
  };
  const char* const lz = "FileChunks.mmap.lz";
  const char* const recovered = "FileEmbedding.corruptIndexRecovered";
  const Case cases[] = {
      {"older version", lz, good, 2, "FileEmbedding.modelMigrationStarted"},
      {"missing version", lz, good, std::nullopt, "FileEmbedding.modelVersionMissingPreservedIndex"},
      {"current version", lz, good, 3, nullptr},
      {"truncated stream", lz, good.substr(0, good.size() / 3), 3, recovered},
      {"damaged stream", lz, flipped, 3, recovered},
      {"foreign .lz", lz, std::string(4096, 'Q'), 3, recovered},
      {"empty .lz", lz, "", 3, recovered},
      {"plain file of another format", "FileChunks.mmap", "not an item file at all, just some text", 3, recovered},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StoreFixture g;
    g.dir.write("data/" + std::string(c.file), c.bytes);
    g.dir.write("data/FileChunks.hnsw", "graph");
    if (c.version) {
      ASSERT_TRUE(g.defaults.set(FileEmbeddingStore::kModelVersionKey, *c.version).ok());
    }
    auto store = g.opened(g.fileStore());
    const bool kept = c.bytes == good && c.version != 2;
    EXPECT_EQ(g.exists(c.file), kept);
    EXPECT_EQ(g.snapshot(*store).chunkCount, kept ? 40 : 0);
    EXPECT_EQ(g.defaults.integerValue(FileEmbeddingStore::kModelVersionKey), 3);
    if (!kept) {
      EXPECT_FALSE(g.exists("FileChunks.hnsw"));
    }
    if (c.signal) {
      auto events = g.telemetry.sink().named(c.signal);
      ASSERT_EQ(events.size(), 1u);
      if (c.version == 2) {
        EXPECT_EQ(events[0].parameters, (TelemetryParameters{{"oldVersion", "2"}, {"newVersion", "3"}}));
      }
    }
  }
}

TEST_F(FileEmbeddingStoreTest, SavedIndexReopensAndSmallFilesStayPlain) {
  const auto items = testing::fileItems(40, kTinyDimension, 4);
  auto store = f.saved(items);
  EXPECT_TRUE(f.exists("FileChunks.mmap.lz"));
  EXPECT_FALSE(f.exists("FileChunks.mmap"));
  EXPECT_TRUE(f.exists("FileChunks.hnsw.lz"));
  // The saved files are plain LZFSE: the reference one-shot decoder reads them.
  auto decoded = lzfse::decode(readAll(path("FileChunks.mmap.lz")));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(MMapStore::decode(decoded.value())->size(), items.size());

  auto reopened = f.opened(f.fileStore());
  EXPECT_EQ(f.snapshot(*reopened).chunkCount, 40);
  ASSERT_TRUE(f.run([&](auto done) { reopened->waitUntilSearchable(done); }).ok());
  EXPECT_FALSE(search(*reopened, items[7].text, 40).empty());

  // One small chunk: an item file under 1024 bytes, stored under the plain name.
  StoreFixture g;
  g.saved(testing::fileItems(1, 1, 5));
  ASSERT_TRUE(g.exists("FileChunks.mmap"));
  EXPECT_LE(std::filesystem::file_size(g.data() + "/FileChunks.mmap"), 1024u);
  EXPECT_FALSE(g.exists("FileChunks.mmap.lz"));
  EXPECT_EQ(g.snapshot(*g.opened(g.fileStore())).chunkCount, 1);
}

TEST_F(FileEmbeddingStoreTest, GraphThatDoesNotMatchTheItemsIsReplaced) {
  const auto items = testing::fileItems(40, kTinyDimension, 6);
  f.saved(items);
  struct Case {
    const char* name;
    std::string graph;
    bool mismatchSignal;
  };
  const std::string sevenNodes("\x07\0\0\0\0\0\0\0\0\0\0\0\x10\0\0\0\x32\0\0\0", 20);
  const Case cases[] = {
      {"node count of another list", sevenNodes, true},
      {"damaged compressed graph", std::string(3000, 'Z'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path("FileChunks.hnsw.lz"));
    f.dir.write(c.mismatchSignal ? "data/FileChunks.hnsw" : "data/FileChunks.hnsw.lz", c.graph);
    f.telemetry.sink().clear();
    auto store = f.opened(f.fileStore());
    ASSERT_TRUE(f.run([&](auto done) { store->waitUntilSearchable(done); }).ok());
    EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.hnswMismatchRecovered"), c.mismatchSignal ? 1u : 0u);
    Logger logger("test");
    EmbeddingStoreFiles files(f.data(), FileEmbeddingStore::kIndexName, f.dir.path() + "/tmp", logger);
    auto nodes = files.graphNodeCount();
    ASSERT_TRUE(nodes.ok() && nodes.value());
    EXPECT_EQ(*nodes.value(), 40u);  // the repaired graph was saved
    EXPECT_FALSE(search(*store, items[3].text, 3).empty());
  }
}

TEST_F(FileEmbeddingStoreTest, AutomaticRebuildNeverDeletesAFile) {
  auto store = f.saved(testing::fileItems(40, kTinyDimension, 7));
  const std::string items = readAll(path("FileChunks.mmap.lz"));
  const std::string graph = readAll(path("FileChunks.hnsw.lz"));
  int resets = 0;
  ScopedObservation observation(f.center, FileEmbeddingStore::kIndexWasResetNotification,
                                [&](const Notification&) { ++resets; });

  Status blocked = f.run([&](auto done) { store->rebuild(RebuildIntent::system("stallRecovery"), done); });
  ASSERT_FALSE(blocked.ok());
  EXPECT_TRUE(isError(blocked.error(), RebuildError::kDomain, RebuildError::automaticRebuildBlocked));
  EXPECT_EQ(blocked.error().description(), "Blocked automatic file semantic index rebuild request from stallRecovery");
  EXPECT_EQ(readAll(path("FileChunks.mmap.lz")), items);
  EXPECT_EQ(readAll(path("FileChunks.hnsw.lz")), graph);
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.rebuildBlocked"), 1u);
  EXPECT_EQ(resets, 0);

  ASSERT_TRUE(f.run([&](auto done) { store->rebuild(RebuildIntent::user("settings"), done); }).ok());
  EXPECT_FALSE(f.exists("FileChunks.mmap.lz"));
  EXPECT_FALSE(f.exists("FileChunks.hnsw.lz"));
  EXPECT_EQ(f.snapshot(*store).chunkCount, 0);
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.indexRebuilt"), 1u);
}

TEST_F(FileEmbeddingStoreTest, SearchWhileTheGraphLoadsAnswersNothingInsteadOfWaiting) {
  const auto items = testing::fileItems(150, kTinyDimension, 8);
  f.saved(items);
  f.background = std::make_shared<testing::HeldRunner>(f.env.clock());
  auto store = f.opened(f.fileStore());
  std::optional<std::vector<FileChunkSearchResult>> during;
  store->search(items[0].text, 5, Completion<std::vector<FileChunkSearchResult>>([&](auto r) { during = r; }));
  f.env.runUntilIdle();
  ASSERT_TRUE(during.has_value());  // answered while the load is held
  EXPECT_TRUE(during->empty());
  EXPECT_TRUE(f.snapshot(*store).isHNSWLoading);
  f.background->runAll();
  f.env.runUntilIdle();
  EXPECT_EQ(search(*store, items[0].text).size(), 5u);
}

TEST_F(FileEmbeddingStoreTest, IdleUnloadComesThirtySecondsAfterTheLastSearch) {
  auto store = f.saved(testing::fileItems(10, kTinyDimension, 9));
  ASSERT_FALSE(search(*store, "chunk 1").empty());
  f.env.advanceBy(std::chrono::seconds(20));
  ASSERT_FALSE(search(*store, "chunk 2").empty());  // reschedules the unload
  f.env.advanceBy(std::chrono::seconds(29));
  EXPECT_TRUE(f.snapshot(*store).modelLoaded);
  f.env.advanceBy(std::chrono::seconds(2));
  auto s = f.snapshot(*store);
  EXPECT_FALSE(s.modelLoaded);
  EXPECT_EQ(s.readiness, ReadinessState::unloaded);
  EXPECT_EQ(s.chunkCount, 10);  // the count survives the unload
  const int loads = f.factory->loads;
  ASSERT_TRUE(f.run([&](auto done) { store->waitUntilSearchable(done); }).ok());  // reloads from disk
  EXPECT_EQ(f.factory->loads, loads + 1);
  EXPECT_FALSE(search(*store, "chunk 3").empty());
}

TEST_F(FileEmbeddingStoreTest, StartUpReadsTheItemsWithoutTheModelAndCachesEveryFilesModificationTime) {
  auto store = openWith(testing::fileItems(2600, 4, 10));
  auto s = f.snapshot(*store);
  EXPECT_EQ(s.chunkCount, 2600);
  EXPECT_EQ(s.status, SemanticIndexStatus::ready);
  EXPECT_FALSE(s.modelLoaded);
  EXPECT_EQ(f.factory->loads, 0);
  auto cache = f.await<std::map<std::string, double>>([&](auto done) { store->fileModificationTimes(done); });
  EXPECT_EQ(cache.size(), 2600u);  // a file missing here would be embedded again
  EXPECT_EQ(cache.count("/docs/file0.txt"), 1u);
  EXPECT_EQ(cache.count("/docs/file2599.txt"), 1u);
  store->handleMemoryPressure();
  cache = f.await<std::map<std::string, double>>([&](auto done) { store->fileModificationTimes(done); });
  EXPECT_EQ(cache.size(), 2600u);
}

TEST_F(FileEmbeddingStoreTest, MissingModelLeavesTheStoreUnavailableAndTheFilesAlone) {
  f.factory->installed = false;
  auto store = openWith(testing::fileItems(5, kTinyDimension, 11));
  EXPECT_EQ(f.snapshot(*store).status, SemanticIndexStatus::unavailable);
  EXPECT_TRUE(search(*store, "anything").empty());
  Status added =
      f.run([&](auto done) { store->addChunks(testing::chunkInputs(testing::fileItems(1, 32, 1)), nullptr, done); });
  EXPECT_FALSE(added.ok());
  EXPECT_TRUE(f.exists("FileChunks.mmap.lz"));
}

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
  f.writeItemFile(items, MessageEmbeddingStore::kIndexName);
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
