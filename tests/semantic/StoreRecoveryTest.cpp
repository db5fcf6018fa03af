// What an embedding store does with files it cannot fully use: a record
// that cannot be read is dropped and the rest kept; damage to the file's
// structure is repaired by the writer and only reported by a reader; a file
// that cannot be read is kept; text that is not UTF-8 is stored readable; and
// an index built by another model (same or another dimension) is stale.
#include <gtest/gtest.h>

#include <fstream>

#include "app/semantic/EmbeddingStoreErrors.h"
#include "core/SourceStatistics.h"
#include "tests/embeddings/EmbeddingsTestSupport.h"
#include "tests/semantic/SemanticTestSupport.h"

namespace pallix {
namespace {

using testing::StoreFixture;

constexpr std::size_t kTinyDimension = 32;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class StoreRecoveryTest : public ::testing::Test {
 protected:
  // A store over the fixture's files; `repairs` false plays a read-only command.
  std::shared_ptr<FileEmbeddingStore> store(bool repairs = true,
                                            std::shared_ptr<EmbeddingModelFactory> factory = nullptr) {
    auto deps = f.deps();
    deps.repairsFiles = repairs;
    if (factory) deps.modelFactory = std::move(factory);
    return FileEmbeddingStore::create(std::move(deps));
  }
  Status initialize(EmbeddingStore& s) {
    return f.run([&](auto done) { s.initialize(done); });
  }
  // Writes `image` as the store's compressed item file, with the current model version.
  void writeItemImage(const std::string& image) {
    const std::string plain = f.dir.write("stage/FileChunks.mmap", image);
    std::filesystem::create_directories(f.data());
    Logger logger("test");
    EmbeddingStoreFiles files(f.data(), FileEmbeddingStore::kIndexName, f.dir.path() + "/tmp", logger);
    ASSERT_TRUE(files.compressAndMove(plain, files.itemPath()).ok());
    ASSERT_TRUE(f.defaults.set(FileEmbeddingStore::kModelVersionKey, 3).ok());
  }
  std::string path(const std::string& name) const { return f.data() + "/" + name; }

  StoreFixture f;
};

// `image` with the first byte of item `index`'s text (or identifier)
// replaced by `byte`; the writer refuses such text, so the bytes are patched in.
std::string withByte(std::string image, const std::vector<IndexItem>& items, std::size_t index, char byte, bool id) {
  const MMapHeader header = MMapStore::decodeHeader(image).value();
  uint64_t at = id ? header.idsOffset : header.textOffset;
  for (std::size_t i = 0; i < index; ++i) at += 4 + (id ? items[i].id : items[i].text).size();
  image[at + 4] = byte;
  return image;
}

TEST_F(StoreRecoveryTest, OneUnreadableRecordIsDroppedAndTheRestKept) {
  const auto items = testing::fileItems(40, kTinyDimension, 21);
  const std::string good = MMapStore::encode(items).value();
  // A Latin-1 byte in the text of item 7, and one in the identifier of item 12.
  const std::string image = withByte(withByte(good, items, 7, '\xe9', false), items, 12, '\xff', true);
  writeItemImage(image);
  f.dir.write("data/FileChunks.hnsw", "graph of 40 nodes");

  auto s = store();
  ASSERT_TRUE(initialize(*s).ok());
  EXPECT_EQ(f.snapshot(*s).chunkCount, 38);
  EXPECT_TRUE(f.exists("FileChunks.mmap.lz"));
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.corruptIndexRecovered"), 0u);
  auto dropped = f.telemetry.sink().named("FileEmbedding.unreadableRecordsDropped");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].parameters, (TelemetryParameters{{"count", "2"}}));

  // Searching loads the model and graph; the next save writes the 38 that remain.
  ASSERT_TRUE(f.run([&](auto done) { s->waitUntilSearchable(done); }).ok());
  ASSERT_TRUE(f.run([&](auto done) { s->save(done); }).ok());
  f.telemetry.sink().clear();
  auto reopened = store();
  ASSERT_TRUE(initialize(*reopened).ok());
  EXPECT_EQ(f.snapshot(*reopened).chunkCount, 38);
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.unreadableRecordsDropped"), 0u);
  ASSERT_TRUE(f.run([&](auto done) { reopened->waitUntilSearchable(done); }).ok());
  auto results =
      f.await<std::vector<FileChunkSearchResult>>([&](auto done) { reopened->search(items[20].text, 40, done); });
  for (const auto& r : results) {
    EXPECT_NE(r.chunkID, items[7].id);
    EXPECT_NE(r.chunkID, items[12].id);
  }
  EXPECT_EQ(results.size(), 38u);
}

TEST_F(StoreRecoveryTest, DamagedHeaderIsRebuiltByTheWriterAndOnlyReportedByAReader) {
  std::string image = MMapStore::encode(testing::fileItems(40, kTinyDimension, 22)).value();
  image[0] = 'X';  // the magic
  writeItemImage(image);
  f.dir.write("data/FileChunks.hnsw", "graph");
  const std::string damaged = readAll(path("FileChunks.mmap.lz"));

  auto reader = store(/*repairs=*/false);
  Status opened = initialize(*reader);
  ASSERT_FALSE(opened.ok());
  EXPECT_TRUE(isError(opened.error(), StoreFileError::kDomain, StoreFileError::damaged));
  EXPECT_NE(opened.error().description().find("FileChunks.mmap.lz is damaged (Invalid file format"), std::string::npos)
      << opened.error().description();
  EXPECT_NE(opened.error().description().find("run 'pallix semantic rebuild'"), std::string::npos);
  auto snapshot = f.snapshot(*reader);
  EXPECT_EQ(snapshot.readiness, ReadinessState::failed);
  EXPECT_EQ(snapshot.failureMessage, opened.error().description());
  EXPECT_EQ(readAll(path("FileChunks.mmap.lz")), damaged);
  EXPECT_TRUE(f.exists("FileChunks.hnsw"));

  auto writer = store();
  ASSERT_TRUE(initialize(*writer).ok());
  EXPECT_FALSE(f.exists("FileChunks.mmap.lz"));
  EXPECT_FALSE(f.exists("FileChunks.hnsw"));
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.corruptIndexRecovered"), 1u);
  EXPECT_EQ(f.snapshot(*writer).readiness, ReadinessState::ready);
}

// A file the process cannot read (here: a directory where the item file
// belongs, which every reader fails on, root included) is not damaged.
TEST_F(StoreRecoveryTest, ItemFileThatCannotBeReadIsKeptWithAClearMessage) {
  f.saved(testing::fileItems(40, kTinyDimension, 23));
  const std::string graph = readAll(path("FileChunks.hnsw.lz"));
  std::filesystem::rename(path("FileChunks.mmap.lz"), f.dir.path() + "/items.lz");
  std::filesystem::create_directories(path("FileChunks.mmap.lz"));

  for (bool repairs : {false, true}) {
    SCOPED_TRACE(repairs ? "writer" : "reader");
    auto s = store(repairs);
    Status opened = initialize(*s);
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(isError(opened.error(), StoreFileError::kDomain, StoreFileError::unreadable));
    EXPECT_NE(opened.error().description().find("FileChunks.mmap.lz cannot be read"), std::string::npos)
        << opened.error().description();
    EXPECT_NE(opened.error().description().find("it is kept as it is"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(path("FileChunks.mmap.lz")));
    EXPECT_EQ(readAll(path("FileChunks.hnsw.lz")), graph);
    EXPECT_EQ(f.snapshot(*s).readiness, ReadinessState::failed);
    // Adding to it fails instead of starting a fresh index over it.
    EXPECT_FALSE(
        f.run([&](auto done) { s->addChunks(testing::chunkInputs(testing::fileItems(1, 1, 1)), nullptr, done); }).ok());
  }
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.corruptIndexRecovered"), 0u);

  // Readable again: the index is all there.
  std::filesystem::remove(path("FileChunks.mmap.lz"));
  std::filesystem::rename(f.dir.path() + "/items.lz", path("FileChunks.mmap.lz"));
  auto s = store();
  ASSERT_TRUE(initialize(*s).ok());
  EXPECT_EQ(f.snapshot(*s).chunkCount, 40);
}

TEST_F(StoreRecoveryTest, TextThatIsNotUtf8IsSavedReadableAndReloads) {
  auto items = testing::fileItems(3, kTinyDimension, 24);
  items[1].text = "caf\xe9 menu.txt\nsoup of the day";
  items[1].metadata["fileName"] = "caf\xe9 menu.txt";
  auto s = f.saved(items);
  f.telemetry.sink().clear();

  auto reopened = store();
  ASSERT_TRUE(initialize(*reopened).ok());
  EXPECT_EQ(f.snapshot(*reopened).chunkCount, 3);
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.corruptIndexRecovered"), 0u);
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.unreadableRecordsDropped"), 0u);
  ASSERT_TRUE(f.run([&](auto done) { reopened->waitUntilSearchable(done); }).ok());
  auto results =
      f.await<std::vector<FileChunkSearchResult>>([&](auto done) { reopened->search("soup of the day", 3, done); });
  ASSERT_EQ(results.size(), 3u);
  bool found = false;
  for (const auto& r : results) {
    if (r.chunkID != items[1].id) continue;
    found = true;
    EXPECT_EQ(r.metadata.fileName, "caf\xef\xbf\xbd menu.txt");
  }
  EXPECT_TRUE(found);
}

TEST(MMapStoreWriterTest, RefusesTextTheLoaderWouldRefuse) {
  auto items = testing::fileItems(2, 4, 25);
  items[1].text = "caf\xe9";
  auto image = MMapStore::encode(items);
  ASSERT_FALSE(image.ok());
  EXPECT_EQ(image.error().description(), "Write error: Invalid UTF-8 in text of item 1 ('f1_0')");
  items[1].text = "ok";
  items[0].id = "\xc0\xaf";  // an overlong '/'
  ASSERT_FALSE(MMapStore::encode(items).ok());
}

// The item file could not be written (here its place is taken by a
// directory, as a full disk would fail the rename): the graph is not
// written either, by the save or by a later graph save.
TEST_F(StoreRecoveryTest, GraphIsNotWrittenAfterTheItemSaveFailed) {
  auto s = f.opened(store());
  ASSERT_TRUE(
      f.run([&](auto done) { s->addChunks(testing::chunkInputs(testing::fileItems(40, 4, 26)), nullptr, done); }).ok());
  f.dir.write("data/FileChunks.mmap.lz/occupied", "x");
  EXPECT_FALSE(f.run([&](auto done) { s->save(done); }).ok());
  EXPECT_FALSE(f.run([&](auto done) { s->saveHNSW(done); }).ok());
  EXPECT_FALSE(f.exists("FileChunks.hnsw.lz"));
  EXPECT_FALSE(f.exists("FileChunks.hnsw"));
  std::filesystem::remove_all(path("FileChunks.mmap.lz"));
  ASSERT_TRUE(f.run([&](auto done) { s->saveHNSW(done); }).ok());
  EXPECT_TRUE(f.exists("FileChunks.mmap.lz"));
  EXPECT_TRUE(f.exists("FileChunks.hnsw.lz"));
}

// Models made here: the same shape as the tiny model with other random
// weights, and one of another dimension.
class ModelReplacementTest : public StoreRecoveryTest {
 protected:
  std::shared_ptr<DirectoryEmbeddingModelFactory> model(const std::string& name, int hidden, uint32_t seed) {
    const std::string dir = f.dir.path() + "/models/" + name;
    testing::writeRandomModel(dir, testing::smallConfig(100, hidden, 2, 2, 64, 512), seed);
    return std::make_shared<DirectoryEmbeddingModelFactory>(dir);
  }
  // An index of 30 chunks built and saved with `factory`.
  void buildWith(const std::shared_ptr<EmbeddingModelFactory>& factory) {
    auto s = store(true, factory);
    ASSERT_TRUE(initialize(*s).ok());
    ASSERT_TRUE(f.run([&](auto done) {
                   s->addChunks(testing::chunkInputs(testing::fileItems(30, 1, 27)), nullptr, done);
                 }).ok());
    ASSERT_TRUE(f.run([&](auto done) { s->save(done); }).ok());
    ASSERT_TRUE(f.exists("FileChunks.model"));
  }
};

TEST_F(ModelReplacementTest, IndexOfAnotherModelIsStaleWhateverItsDimension) {
  const auto original = model("original", 32, 1);
  struct Case {
    const char* name;
    std::shared_ptr<DirectoryEmbeddingModelFactory> replacement;
  };
  const Case cases[] = {{"same dimension", model("same", 32, 2)}, {"another dimension", model("other", 16, 3)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    f.telemetry.sink().clear();
    buildWith(original);
    const std::string items = readAll(path("FileChunks.mmap.lz"));

    // The same model again: nothing is stale.
    auto same = store(false, original);
    ASSERT_TRUE(initialize(*same).ok());
    EXPECT_TRUE(f.snapshot(*same).builtWithAnotherModel.empty());

    // A read-only command reports the stale index, keeps it, and refuses to search it.
    auto reader = store(false, c.replacement);
    ASSERT_TRUE(initialize(*reader).ok());
    auto snapshot = f.snapshot(*reader);
    EXPECT_NE(snapshot.builtWithAnotherModel.find("built with dimension 32"), std::string::npos)
        << snapshot.builtWithAnotherModel;
    EXPECT_EQ(snapshot.status, SemanticIndexStatus::unavailable);
    Status loaded = f.run([&](auto done) { reader->ensureIndexLoaded(done); });
    ASSERT_FALSE(loaded.ok());
    EXPECT_TRUE(isError(loaded.error(), StoreFileError::kDomain, StoreFileError::builtWithAnotherModel));
    EXPECT_EQ(readAll(path("FileChunks.mmap.lz")), items);

    // The writer starts the index over for the installed model and says so.
    int resets = 0;
    ScopedObservation observation(f.center, FileEmbeddingStore::kIndexWasResetNotification,
                                  [&](const Notification&) { ++resets; });
    auto writer = store(true, c.replacement);
    ASSERT_TRUE(initialize(*writer).ok());
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.builtWithAnotherModel"), 1u);
    EXPECT_FALSE(f.exists("FileChunks.mmap.lz"));
    snapshot = f.snapshot(*writer);
    EXPECT_EQ(snapshot.chunkCount, 0);
    EXPECT_EQ(snapshot.status, SemanticIndexStatus::rebuilding);
    EXPECT_EQ(snapshot.modelRebuildPercent, 0);

    // Re-indexing: a third of the old chunks is 33%, all of them ends the rebuild.
    const auto fresh = testing::fileItems(30, 1, 28);
    ASSERT_TRUE(f.run([&](auto done) {
                   writer->addChunks(testing::chunkInputs({fresh.begin(), fresh.begin() + 10}), nullptr, done);
                 }).ok());
    ASSERT_TRUE(f.run([&](auto done) { writer->save(done); }).ok());
    auto progress = store(false, c.replacement);
    ASSERT_TRUE(initialize(*progress).ok());
    EXPECT_EQ(f.snapshot(*progress).modelRebuildPercent, 33);
    EXPECT_TRUE(f.snapshot(*progress).builtWithAnotherModel.empty());
    ASSERT_TRUE(f.run([&](auto done) {
                   writer->addChunks(testing::chunkInputs({fresh.begin() + 10, fresh.end()}), nullptr, done);
                 }).ok());
    ASSERT_TRUE(f.run([&](auto done) { writer->save(done); }).ok());
    auto done = store(false, c.replacement);
    ASSERT_TRUE(initialize(*done).ok());
    snapshot = f.snapshot(*done);
    EXPECT_FALSE(snapshot.modelRebuildPercent);
    EXPECT_EQ(snapshot.status, SemanticIndexStatus::ready);
    ASSERT_TRUE(f.run([&](auto d) { done->waitUntilSearchable(d); }).ok());
    auto results = f.await<std::vector<FileChunkSearchResult>>([&](auto d) { done->search(fresh[4].text, 3, d); });
    ASSERT_FALSE(results.empty());
    EXPECT_GT(results[0].similarity, 0.5f);

    std::filesystem::remove_all(f.data());
  }
}

// What `pallix status` says the loaded index holds, and nothing once it is unloaded.
TEST_F(ModelReplacementTest, TheLoadedIndexRecordsItsItemsAndTheirHeapForStatus) {
  auto footprint = [] {
    for (const auto& source : SourceStatistics::process().snapshot()) {
      if (source.name == "semantic files") return source.footprint;
    }
    return std::optional<SourceStatistics::Footprint>();
  };
  SourceStatistics::process().clear();
  const auto installed = model("installed", 32, 4);
  buildWith(installed);
  auto writer = store(true, installed);
  ASSERT_TRUE(initialize(*writer).ok());
  ASSERT_TRUE(f.run([&](auto done) { writer->waitUntilSearchable(done); }).ok());
  ASSERT_TRUE(footprint().has_value());
  EXPECT_EQ(footprint()->items, 30);
  // At least the 30 vectors of 32 floats.
  EXPECT_GT(footprint()->bytes, int64_t(30 * 32 * sizeof(float)));
  ASSERT_TRUE(f.run([&](auto done) { writer->unloadIndex(done); }).ok());
  EXPECT_EQ(footprint()->bytes, 0);
}

// The model is replaced while the writer has the index open: the next model
// load (after an idle unload) finds the index stale and starts it over.
TEST_F(ModelReplacementTest, ModelReplacedWhileTheIndexIsOpenIsNoticedOnTheNextLoad) {
  const auto first = model("installed", 32, 4);
  buildWith(first);
  auto writer = store(true, first);
  ASSERT_TRUE(initialize(*writer).ok());
  ASSERT_TRUE(f.run([&](auto done) { writer->waitUntilSearchable(done); }).ok());
  ASSERT_TRUE(f.run([&](auto done) { writer->unloadIndex(done); }).ok());
  testing::writeRandomModel(f.dir.path() + "/models/replacement", testing::smallConfig(100, 32, 2, 2, 64, 512), 5);
  std::filesystem::remove_all(first->modelDirectory());
  std::filesystem::rename(f.dir.path() + "/models/replacement", first->modelDirectory());

  ASSERT_TRUE(f.run([&](auto done) { writer->ensureIndexLoaded(done); }).ok());
  EXPECT_EQ(f.snapshot(*writer).chunkCount, 0);
  EXPECT_EQ(f.telemetry.sink().count("FileEmbedding.builtWithAnotherModel"), 1u);
  EXPECT_FALSE(f.exists("FileChunks.mmap.lz"));
}

TEST_F(ModelReplacementTest, MessageIndexOfAnotherModelIsStaleToo) {
  const auto original = model("original", 32, 7);
  const auto replacement = model("replacement", 16, 8);
  auto messageStore = [&](bool repairs, std::shared_ptr<EmbeddingModelFactory> factory) {
    auto deps = f.deps();
    deps.repairsFiles = repairs;
    deps.modelFactory = std::move(factory);
    return MessageEmbeddingStore::create(std::move(deps));
  };
  std::vector<ChunkInput> chunks;
  for (int i = 0; i < 12; ++i) {
    MessageChunkMetadata m{
        "chat" + std::to_string(i % 3),        {i + 1}, {"guid" + std::to_string(i)}, 1.7e9 + i, 1.7e9 + i + 60,
        "lunch on friday " + std::to_string(i)};
    chunks.push_back({"m" + std::to_string(i), m.combinedText, m.toMap()});
  }
  auto built = messageStore(true, original);
  ASSERT_TRUE(initialize(*built).ok());
  ASSERT_TRUE(f.run([&](auto done) { built->addChunks(chunks, nullptr, done); }).ok());
  ASSERT_TRUE(f.run([&](auto done) { built->save(MessageSaveIntent::routine("test"), done); }).ok());
  ASSERT_TRUE(f.exists("MessageChunks.model"));

  auto reader = messageStore(false, replacement);
  ASSERT_TRUE(initialize(*reader).ok());
  EXPECT_NE(f.snapshot(*reader).builtWithAnotherModel.find("dimension 32"), std::string::npos);
  EXPECT_TRUE(f.exists("MessageChunks.mmap.lz"));
  auto results = f.await<std::vector<MessageChunkSearchResult>>(
      [&](auto done) { reader->searchSemanticOnly("lunch", 5, std::nullopt, CancellationToken(), done); });
  EXPECT_TRUE(results.empty());

  int resets = 0;
  ScopedObservation observation(f.center, MessageEmbeddingStore::kIndexWasResetNotification,
                                [&](const Notification&) { ++resets; });
  auto writer = messageStore(true, replacement);
  ASSERT_TRUE(initialize(*writer).ok());
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(f.telemetry.sink().count("MessageEmbedding.builtWithAnotherModel"), 1u);
  EXPECT_EQ(f.snapshot(*writer).chunkCount, 0);
  EXPECT_EQ(f.snapshot(*writer).status, SemanticIndexStatus::rebuilding);
  EXPECT_FALSE(f.exists("MessageChunks.mmap.lz"));
}

// An index saved before stores recorded their model: its dimension still tells.
TEST_F(ModelReplacementTest, IndexWithoutAnIdentityFileIsJudgedByItsDimension) {
  f.writeItemFile(testing::fileItems(10, 16, 29), FileEmbeddingStore::kIndexName);
  ASSERT_TRUE(f.defaults.set(FileEmbeddingStore::kModelVersionKey, 3).ok());
  const auto installed = model("m", 32, 6);
  auto reader = store(false, installed);
  ASSERT_TRUE(initialize(*reader).ok());
  EXPECT_NE(f.snapshot(*reader).builtWithAnotherModel.find("dimension 16"), std::string::npos);

  std::filesystem::remove_all(f.data());
  f.writeItemFile(testing::fileItems(10, 32, 30), FileEmbeddingStore::kIndexName);
  auto writer = store(true, installed);
  ASSERT_TRUE(initialize(*writer).ok());
  EXPECT_EQ(f.snapshot(*writer).chunkCount, 10);
  EXPECT_TRUE(f.exists("FileChunks.model"));  // adopted by the installed model
}

}  // namespace
}  // namespace pallix
