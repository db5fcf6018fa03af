// Compress-and-move: which form a file is stored in, and what is left
// behind when it cannot be.
#include <gtest/gtest.h>

#include <random>

#include "app/semantic/EmbeddingStoreErrors.h"
#include "app/semantic/EmbeddingStoreFiles.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

TEST(EmbeddingStoreFilesTest, CompressAndMoveChoosesTheFormByTheData) {
  std::mt19937 rng(3);
  std::string noise(4000, '\0');
  for (char& c : noise) c = char(rng());
  struct Case {
    const char* name;
    std::string data;
    bool plain, compressed;
    const char* error;
  };
  const Case cases[] = {
      {"small", std::string(1024, 'a'), true, false, nullptr},
      {"compressible", std::string(5000, 'b'), false, true, nullptr},
      {"incompressible", noise, false, false, "Compression failed: FileChunks.mmap"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    Logger logger("test");
    EmbeddingStoreFiles files(dir.mkdir("store"), "FileChunks", dir.mkdir("tmp"), logger);
    // An earlier save in the other form, which a successful move replaces.
    dir.write(c.plain ? "store/FileChunks.mmap.lz" : "store/FileChunks.mmap", "previous");
    Status moved = files.compressAndMove(dir.write("tmp/source", c.data), files.itemPath());
    if (c.error) {
      EXPECT_TRUE(testing::failsWith(moved, c.error));
      EXPECT_TRUE(isError(moved.error(), CompressionError::kDomain, CompressionError::compressionFailed));
      EXPECT_TRUE(fs::exists(files.itemPath()));  // the previous file stays
    } else {
      ASSERT_TRUE(moved.ok()) << moved.error().description();
      EXPECT_EQ(fs::exists(files.itemPath()), c.plain);
      EXPECT_EQ(fs::exists(files.itemPath() + ".lz"), c.compressed);
    }
    for (const auto& entry : fs::directory_iterator(dir / "store")) {
      EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos);
    }
  }
}

TEST(EmbeddingStoreFilesTest, MissingSourceIsAReadFailureAndLeftoversAreSweptAway) {
  testing::TempDir dir;
  Logger logger("test");
  EmbeddingStoreFiles files(dir.mkdir("store"), "FileChunks", dir.mkdir("tmp"), logger);
  EXPECT_TRUE(isError(files.compressAndMove(dir / "tmp/none", files.itemPath()).error(), CompressionError::kDomain,
                      CompressionError::readFailed));
  dir.write("store/FileChunks.mmap.lz.tmp-1234", "cut short");
  dir.write("store/Other.mmap.tmp-1", "someone else's");
  const std::string old = dir.mkdir("tmp/Pallix-File-Save-OLD");
  const std::string recent = dir.mkdir("tmp/Pallix-File-Save-NEW");
  fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(48));
  files.removeStaleTemporaries();
  EXPECT_FALSE(fs::exists(dir / "store/FileChunks.mmap.lz.tmp-1234"));
  EXPECT_TRUE(fs::exists(dir / "store/Other.mmap.tmp-1"));
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(recent));
}

}  // namespace
}  // namespace pallix
