// Full file passes through the real composition (SemanticServices: the file
// embedding store on disk, the indexer, the completion tracker) in virtual
// time, with a fast hashing model that records what it embeds: what a pass
// embeds again, what it stores for names that are not UTF-8, and what a model
// that does not load leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "SimilaritySearchKit/EmbeddingProvider.h"
#include "app/semantic/SemanticServices.h"
#include "core/Utf8.h"
#include "tests/semantic/SemanticTestSupport.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using Summary = FileChunkIndexer::PassSummary;

// A bag-of-words model that embeds in microseconds and keeps the header line
// of every text it was given. `loadFails` plays a model whose weights do not load.
class RecordingModelFactory final : public EmbeddingModelFactory {
 public:
  class Provider final : public BatchEmbeddingProvider {
   public:
    explicit Provider(RecordingModelFactory& owner) : owner_(owner) {}
    Result<std::vector<float>> encode(const std::string& text) override {
      owner_.record(text);
      return hashing_.encode(text);
    }
    int dimension() const override { return hashing_.dimension(); }

   private:
    RecordingModelFactory& owner_;
    HashingEmbeddings hashing_{32};
  };

  bool isInstalled() const override { return true; }
  std::string unavailableMessage() const override { return "no model"; }
  Result<std::shared_ptr<BatchEmbeddingProvider>> load(EmbeddingComputeUnits) override {
    if (loadFails) return Error::make("model.safetensors is truncated");
    return std::shared_ptr<BatchEmbeddingProvider>(std::make_shared<Provider>(*this));
  }
  void record(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    headers.push_back(text.substr(0, text.find('\n')));
  }
  // The distinct file names among the headers embedded since the last call.
  std::set<std::string> takeEmbeddedNames() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::string> names;
    for (const auto& h : headers) {
      if (h.starts_with("[")) names.insert(h.substr(1, h.find(" | ") - 1));  // not the model's warm-up text
    }
    headers.clear();
    return names;
  }

  std::atomic<bool> loadFails = false;
  std::vector<std::string> headers;

 private:
  std::mutex mutex_;
};

class FileIndexPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.env.clock().setWallNow(SystemClock::instance().wallNow());
    folder = f.dir.mkdir("docs");
  }
  // A fresh composition over the same data directory (the store reloads what was saved).
  std::unique_ptr<SemanticServices> open() {
    SemanticServicesOptions options;
    options.dirs = DataDirectories::forHome(f.dir.path());
    options.defaults = &f.defaults;
    options.notifications = &f.center;
    options.modelFactory = factory;
    options.coordinator = EmbeddingCoordinator::create(f.env.makeRunner("lease"));
    options.storeDirectory = f.data();
    options.temporaryDirectory = f.dir.path() + "/tmp";
    options.tuning.perFilePauseOverride = Duration::zero();
    for (auto* runner :
         {&options.fileStoreRunner, &options.messageStoreRunner, &options.backgroundRunner, &options.indexerRunner}) {
      *runner = f.env.makeRunner("service");
    }
    auto services = SemanticServices::create(std::move(options));
    EXPECT_TRUE(f.run([&](auto done) { services->initialize(done); }).ok());
    return services;
  }
  Summary fullPass(SemanticServices& services) {
    std::optional<Summary> summary;
    services.fileIndexer()->runFullPass({folder}, Completion<Summary>([&](Summary s) { summary = s; }));
    for (int i = 0; i < 10000 && !summary; ++i) f.env.advanceBy(std::chrono::seconds(1));
    EXPECT_TRUE(summary.has_value());
    return summary.value_or(Summary{});
  }
  // Sets a file's modification time `ageSeconds` before the virtual now (whole seconds).
  void age(const std::string& path, int64_t ageSeconds) {
    const auto mtime =
        std::chrono::sys_seconds(std::chrono::seconds(int64_t(secondsSince1970(f.env.clock().wallNow())) - ageSeconds));
    fs::last_write_time(path, std::chrono::file_clock::from_sys(mtime));
  }

  testing::StoreFixture f;
  std::shared_ptr<RecordingModelFactory> factory = std::make_shared<RecordingModelFactory>();
  std::string folder;
};

TEST_F(FileIndexPassTest, AnEditInAFolderOfThreeThousandFilesEmbedsThatFileAlone) {
  std::vector<std::string> paths;
  for (int i = 0; i < 3000; ++i) {
    paths.push_back(f.dir.write("docs/file" + std::to_string(i) + ".txt", "note number " + std::to_string(i)));
    age(paths.back(), 7200 + i);  // older files first, as the cache used to drop them
  }
  {
    auto services = open();
    auto first = fullPass(*services);
    ASSERT_EQ(first.outcome, Summary::Outcome::completed) << first.detail;
    EXPECT_EQ(first.indexedFiles, 3000);
    EXPECT_EQ(factory->takeEmbeddedNames().size(), 3000u);

    f.dir.write("docs/file2999.txt", "the oldest note, edited");
    age(paths[2999], 60);
    auto second = fullPass(*services);
    EXPECT_EQ(second.outcome, Summary::Outcome::completed) << second.detail;
    EXPECT_EQ(second.indexedFiles, 1);
    EXPECT_EQ(second.unchangedFiles, 2999);
    EXPECT_EQ(factory->takeEmbeddedNames(), std::set<std::string>{"file2999.txt"});
  }
  // Reloaded from disk, the store still knows every file.
  auto services = open();
  f.dir.write("docs/file10.txt", "another edit");
  age(paths[10], 30);
  auto third = fullPass(*services);
  EXPECT_EQ(third.indexedFiles, 1);
  EXPECT_EQ(third.unchangedFiles, 2999);
  EXPECT_EQ(factory->takeEmbeddedNames(), std::set<std::string>{"file10.txt"});
}

TEST_F(FileIndexPassTest, AFileNamedInLatin1IsStoredAsUtf8AndFoundAtItsRealPath) {
  const std::string path = f.dir.write("docs/caf\xE9 menu.txt", "Soup of the day: tomato and basil.\n");
  age(path, 3600);
  {
    auto services = open();
    auto first = fullPass(*services);
    ASSERT_EQ(first.outcome, Summary::Outcome::completed) << first.detail;
    EXPECT_EQ(first.indexedFiles, 1);
  }
  for (const auto& header : factory->headers) EXPECT_EQ(firstInvalidUtf8Offset(header), std::string_view::npos);
  factory->takeEmbeddedNames();
  // A new process loads the saved index, finds the chunk and opens the file it names.
  auto services = open();
  ASSERT_TRUE(f.run([&](auto done) { services->fileStore()->waitUntilSearchable(done); }).ok());
  auto hits = f.await<std::vector<SemanticResult>>(
      [&](auto done) { services->bridge().search("soup of the day tomato basil", 1, done); });
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].filePath, path);
  EXPECT_EQ(hits[0].fileName, "caf\uFFFD menu.txt");
  EXPECT_TRUE(readTextFile(hits[0].filePath).ok());
  // And its next pass knows the file is unchanged.
  ASSERT_TRUE(services->fileCompletionTracker().clear().ok());
  auto second = fullPass(*services);
  EXPECT_EQ(second.unchangedFiles, 1);
  EXPECT_EQ(second.indexedFiles, 0);
  EXPECT_TRUE(factory->takeEmbeddedNames().empty());
}

TEST_F(FileIndexPassTest, AModelThatDoesNotLoadFailsThePassAndTheNextPassIndexesEverything) {
  for (const char* name : {"a.txt", "b.txt"}) age(f.dir.write(std::string("docs/") + name, name), 3600);
  auto services = open();
  factory->loadFails = true;
  auto failed = fullPass(*services);
  EXPECT_EQ(failed.outcome, Summary::Outcome::failed);
  EXPECT_TRUE(failed.embeddingFailed);
  EXPECT_NE(failed.detail.find("model.safetensors is truncated"), std::string::npos) << failed.detail;
  EXPECT_EQ(failed.failedFiles, 0) << "the files are text; the model failed";
  EXPECT_FALSE(services->fileCompletionTracker().lastCompletion().has_value());

  // Edited while the model was broken, then the model is fixed.
  age(f.dir.write("docs/b.txt", "b, edited"), 120);
  factory->loadFails = false;
  auto fixed = fullPass(*services);
  EXPECT_EQ(fixed.outcome, Summary::Outcome::completed) << fixed.detail;
  EXPECT_EQ(fixed.indexedFiles, 2);
  EXPECT_EQ(factory->takeEmbeddedNames(), (std::set<std::string>{"a.txt", "b.txt"}));
  EXPECT_TRUE(services->fileCompletionTracker().lastCompletion().has_value());
}

}  // namespace
}  // namespace pallix
