// The composition end to end in virtual time, with the tiny model: a full
// pass over real files, then the bridge finds and merges them.
#include <gtest/gtest.h>

#include "app/semantic/SemanticServices.h"
#include "app/shell/FilesPreferences.h"
#include "tests/semantic/SemanticTestSupport.h"

namespace pallix {
namespace {

TEST(SemanticServicesTest, IndexedFilesAreFoundAndMergedIntoTextResults) {
  testing::StoreFixture f;
  const std::string folder = f.dir.mkdir("docs");
  const std::string garden = f.dir.write("docs/garden.txt", "Tomatoes and basil grow well together in the summer.\n");
  const std::string taxes = f.dir.write("docs/taxes.md", "Quarterly tax returns are due in April; keep receipts.\n");
  // The tiny model knows few words: query with a chunk's exact text, which it ranks first.
  auto chunkTextOf = [](const std::string& path) {
    return makeFileChunks(describeFile(path).value(), readTextFile(path).value()).at(0).text;
  };
  f.dir.write("docs/archive.zip", std::string("PK\x03\x04\0\0\0\0", 8));
  ASSERT_TRUE(f.defaults.set(FilesPreferences::kIndexedFoldersKey, std::vector<std::string>{folder}).ok());
  ASSERT_TRUE(f.defaults.set(FilesPreferences::kIndexingIntensityKey, "maximum").ok());

  SemanticServicesOptions options;
  options.dirs = DataDirectories::forHome(f.dir.path());
  options.defaults = &f.defaults;
  options.notifications = &f.center;
  options.modelFactory = f.factory;
  options.coordinator = EmbeddingCoordinator::create(f.env.makeRunner("lease"));
  options.storeDirectory = f.data();
  options.temporaryDirectory = f.dir.mkdir("tmp");
  for (auto* runner :
       {&options.fileStoreRunner, &options.messageStoreRunner, &options.backgroundRunner, &options.indexerRunner}) {
    *runner = f.env.makeRunner("service");
  }
  auto services = SemanticServices::create(std::move(options));
  EXPECT_EQ(SemanticServices::semanticFolders(f.defaults, DataDirectories::forHome(f.dir.path())),
            std::vector<std::string>{folder});
  ASSERT_TRUE(f.run([&](auto done) { services->initialize(done); }).ok());

  std::optional<FileChunkIndexer::PassSummary> summary;
  services->fileIndexer()->runFullPass({folder},
                                       Completion<FileChunkIndexer::PassSummary>([&](auto s) { summary = s; }));
  for (int i = 0; i < 100 && !summary; ++i) f.env.advanceBy(std::chrono::seconds(1));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->indexedFiles, 2);
  EXPECT_EQ(summary->failedFiles, 1);
  EXPECT_TRUE(f.exists("FileChunks.mmap") || f.exists("FileChunks.mmap.lz"));

  auto hits =
      f.await<std::vector<SemanticResult>>([&](auto done) { services->bridge().search(chunkTextOf(garden), 2, done); });
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].fileName, "garden.txt");
  EXPECT_TRUE(f.await<bool>([&](auto done) { services->bridge().canPerformSearch(done); }));

  std::optional<SemanticMergeResult> merged;
  services->bridge().mergeWithTextResults({}, chunkTextOf(taxes), 1, nullptr, f.env.mainRunner(),
                                          [&](SemanticMergeResult m) { merged = std::move(m); });
  f.env.runUntilIdle();
  ASSERT_TRUE(merged.has_value());
  ASSERT_EQ(merged->results.size(), 1u);
  EXPECT_EQ(merged->results[0].item.name, "taxes.md");
  EXPECT_EQ(merged->results[0].matchType, FileMatchType::semantic);
}

}  // namespace
}  // namespace pallix
