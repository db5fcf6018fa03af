// Shared helpers of the semantic tests: a counting model factory over the tiny test model, a store fixture in
// virtual time, and item builders.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "SimilaritySearchKit/MMapStore.h"
#include "app/semantic/FileEmbeddingStore.h"
#include "app/semantic/MessageEmbeddingStore.h"
#include "core/Telemetry.h"
#include "testing/VirtualTime.h"
#include "tests/support/HeldRunner.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {

inline std::string tinyModelDirectory() {
  const char* data = std::getenv("PALLIX_TEST_DATA");
  return std::string(data ? data : "tests/data") + "/embeddings/tiny_bert";
}

// The tiny model, counting how often it is loaded; `installed` false plays a missing model.
class CountingModelFactory final : public EmbeddingModelFactory {
 public:
  bool isInstalled() const override { return installed; }
  std::string unavailableMessage() const override { return "no model (pallix model install)"; }
  Result<std::shared_ptr<BatchEmbeddingProvider>> load(EmbeddingComputeUnits units) override {
    ++loads;
    if (!installed) return Error::make("no model installed");
    return inner_.load(units);
  }
  bool installed = true;
  int loads = 0;

 private:
  DirectoryEmbeddingModelFactory inner_{tinyModelDirectory()};
};

// Random items with the file chunk metadata keys, `dimension` floats each.
inline std::vector<IndexItem> fileItems(std::size_t count, std::size_t dimension, uint32_t seed,
                                        double firstModified = 1.7e9) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<IndexItem> items;
  for (std::size_t i = 0; i < count; ++i) {
    IndexItem item;
    item.id = "f" + std::to_string(i) + "_0";
    item.text = "chunk " + std::to_string(i);
    for (std::size_t d = 0; d < dimension; ++d) item.embedding.push_back(normal(rng));
    FileChunkMetadata m;
    m.filePath = "/docs/file" + std::to_string(i) + ".txt";
    m.fileName = "file" + std::to_string(i) + ".txt";
    m.fileExtension = "txt";
    m.fileCategory = "document";
    m.totalChunks = 1;
    m.endOffset = 10;
    m.modifiedDate = firstModified + double(i);
    m.chunkText = item.text;
    item.metadata = m.toMap();
    items.push_back(std::move(item));
  }
  return items;
}

inline std::vector<ChunkInput> chunkInputs(const std::vector<IndexItem>& items) {
  std::vector<ChunkInput> out;
  for (const auto& item : items) out.push_back({item.id, item.text, item.metadata});
  return out;
}

// A store in virtual time over a temporary data directory, with the tiny model.
struct StoreFixture {
  VirtualTimeEnvironment env;
  TempDir dir;
  UserDefaults defaults;
  NotificationCenter center;
  ScopedTelemetryRecorder telemetry;
  std::shared_ptr<CountingModelFactory> factory = std::make_shared<CountingModelFactory>();
  std::shared_ptr<HeldRunner> background;  // set to hold graph loads

  std::string data() const { return dir.path() + "/data"; }
  EmbeddingStore::Dependencies deps() {
    return {.runner = env.makeRunner("store"),
            .backgroundRunner = background,
            .storeDirectory = data(),
            .temporaryDirectory = dir.mkdir("tmp"),
            .defaults = &defaults,
            .notifications = &center,
            .modelFactory = factory};
  }
  std::shared_ptr<FileEmbeddingStore> fileStore() { return FileEmbeddingStore::create(deps()); }
  std::shared_ptr<MessageEmbeddingStore> messageStore() { return MessageEmbeddingStore::create(deps()); }

  // Starts `start` with a completion and runs virtual time until it answered.
  template <typename T, typename Start>
  T await(Start start) {
    std::optional<T> result;
    start(Completion<T>([&](T value) { result = std::move(value); }));
    for (int i = 0; i < 1000 && !result; ++i) {
      env.runUntilIdle();
      if (background && !result) background->runAll();
    }
    if (!result) ADD_FAILURE() << "no answer";
    return std::move(result).value();
  }
  Status run(std::function<void(Completion<Status>)> start) { return await<Status>(std::move(start)); }
  template <typename Store>
  std::shared_ptr<Store> opened(std::shared_ptr<Store> store) {
    EXPECT_TRUE(run([&](auto done) { store->initialize(done); }).ok());
    return store;
  }
  EmbeddingStoreSnapshot snapshot(EmbeddingStore& store) {
    return await<EmbeddingStoreSnapshot>([&](auto done) { store.snapshot(done); });
  }
  // A fresh file store holding `items` (embedded by the tiny model), saved.
  std::shared_ptr<FileEmbeddingStore> saved(const std::vector<IndexItem>& items) {
    auto store = opened(fileStore());
    EXPECT_TRUE(run([&](auto done) { store->addChunks(chunkInputs(items), nullptr, done); }).ok());
    EXPECT_TRUE(run([&](auto done) { store->save(done); }).ok());
    return store;
  }

  // Writes `items` as the store's compressed item file `name`.
  void writeItemFile(const std::vector<IndexItem>& items, const std::string& name) {
    std::filesystem::create_directories(data());
    MMapStore store;
    auto path = store.saveIndex(items, dir.mkdir("stage"), name);
    ASSERT_TRUE(path.ok());
    Logger logger("test");
    EmbeddingStoreFiles files(data(), name, dir.path() + "/tmp", logger);
    ASSERT_TRUE(files.compressAndMove(path.value(), files.itemPath()).ok());
  }
  bool exists(const std::string& name) const { return std::filesystem::exists(data() + "/" + name); }
};

}  // namespace pallix::testing
