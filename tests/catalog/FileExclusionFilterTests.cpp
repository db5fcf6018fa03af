#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "CatalogTestSupport.h"
#include "app/search/FileExclusionFilter.h"
#include "core/Logger.h"
#include "tests/support/LogCapture.h"

namespace pallix {
namespace {

TEST(FileExclusionFilterTest, AppliesEachRule) {
  FileExclusionFilter filter;
  EXPECT_TRUE(filter.shouldExclude("/home/u/Documents/.env"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/Documents/server.PEM"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/Documents/data.sqlite-wal"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/Documents/id_rsa.pub"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/Documents/Secrets.txt"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/project/node_modules/lodash/readme.md"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/project/Build/out.txt"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/project/DerivedData"));
  EXPECT_FALSE(filter.shouldExclude("/home/u/Documents/report.pdf"));
  EXPECT_FALSE(filter.shouldExclude("/home/u/Documents/builder/notes.md"));
  EXPECT_FALSE(filter.shouldExclude("/home/u/Documents/tokenizer.py"));
  // Hidden applies to the last component only; a hidden folder that is not a
  // listed name does not exclude what is inside it.
  EXPECT_FALSE(filter.shouldExclude("/home/u/.config/app/settings.json"));
  EXPECT_TRUE(filter.shouldExclude("/home/u/.cache/thumb.png"));
  EXPECT_FALSE(filter.shouldExclude("/home/u/Documents/dir/ok"));
}

TEST(FileExclusionFilterTest, RuleSetsHaveTheListedSizes) {
  FileExclusionFilter filter;
  EXPECT_EQ(filter.excludedDirectoryNames().size(), 40u);
  EXPECT_EQ(filter.excludedExtensions().size(), 19u);
  EXPECT_EQ(filter.excludedFilenames().size(), 21u);
  EXPECT_EQ(filter.supportedTextExtensions().size(), 72u);
  EXPECT_TRUE(filter.isSupportedTextExtension("MD"));
  EXPECT_FALSE(filter.isSupportedTextExtension("pdf"));
}

TEST(GitignoreTest, TranslatesPatternsToExpressions) {
  auto build = FileExclusionFilter::compileGitignoreLine("/build/");
  ASSERT_TRUE(build);
  EXPECT_TRUE(build->isAnchored);
  EXPECT_TRUE(build->isDirectoryOnly);
  EXPECT_FALSE(build->isNegated);
  EXPECT_EQ(build->pattern, "build");
  EXPECT_EQ(build->expression, "^build($|/)");

  auto docs = FileExclusionFilter::compileGitignoreLine("docs/**/*.md");
  ASSERT_TRUE(docs);
  EXPECT_EQ(docs->expression, "(^|/)docs/.*/[^/]*\\.md($|/)");

  auto negated = FileExclusionFilter::compileGitignoreLine("  !keep?.log  ");
  ASSERT_TRUE(negated);
  EXPECT_TRUE(negated->isNegated);
  EXPECT_EQ(negated->expression, "(^|/)keep[^/]\\.log($|/)");

  EXPECT_EQ(FileExclusionFilter::gitignoreExpression("a+b(c)[d]{e}|^$\\", false),
            "(^|/)a\\+b\\(c\\)\\[d\\]\\{e\\}\\|\\^\\$\\\\($|/)");
  EXPECT_FALSE(FileExclusionFilter::compileGitignoreLine("# comment"));
  EXPECT_FALSE(FileExclusionFilter::compileGitignoreLine("   "));
  EXPECT_FALSE(FileExclusionFilter::compileGitignoreLine("/"));
}

TEST(GitignoreTest, CompiledPatternsMatchRelativePaths) {
  auto build = FileExclusionFilter::compileGitignoreLine("/build/");
  EXPECT_TRUE(build->matches("build"));
  EXPECT_TRUE(build->matches("build/x.o"));
  EXPECT_FALSE(build->matches("src/build"));
  EXPECT_FALSE(build->matches("builder"));
  auto docs = FileExclusionFilter::compileGitignoreLine("docs/**/*.md");
  EXPECT_TRUE(docs->matches("docs/a/b.md"));
  EXPECT_TRUE(docs->matches("x/docs/a/b/c.md"));
  EXPECT_FALSE(docs->matches("docs/b.txt"));
  auto star = FileExclusionFilter::compileGitignoreLine("*.log");
  EXPECT_TRUE(star->matches("a/b/c.log"));
  EXPECT_FALSE(star->matches("a.log.txt"));
}

TEST(GitignoreTest, LoadsCachesAndReportsUnreadableFiles) {
  testing::TempDir scratch;
  scratch.file(".gitignore", "# build output\n/build/\n*.tmp\n\n!keep.tmp\n");
  FileExclusionFilter filter;
  auto patterns = filter.loadGitignore(scratch.path());
  ASSERT_TRUE(patterns);
  ASSERT_EQ(patterns->size(), 3u);
  EXPECT_EQ((*patterns)[0].expression, "^build($|/)");
  EXPECT_TRUE((*patterns)[2].isNegated);
  // Cached: a changed file is not re-read until the cache is cleared.
  scratch.file(".gitignore", "only\n");
  EXPECT_EQ(filter.loadGitignore(scratch.path())->size(), 3u);
  filter.clearGitignoreCache();
  EXPECT_EQ(filter.loadGitignore(scratch.path())->size(), 1u);

  testing::ScopedLogCapture logs;
  EXPECT_FALSE(filter.loadGitignore(scratch.path() + "/missing"));
  EXPECT_TRUE(logs.contains("Failed to read .gitignore at " + scratch.path() + "/missing/.gitignore"));
}

TEST(GitignoreTest, ConcurrentLoadsShareOneCache) {
  testing::TempDir scratch;
  for (int i = 0; i < 8; ++i) scratch.file("d" + std::to_string(i) + "/.gitignore", "*.o\n/out/\n");
  FileExclusionFilter filter;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        auto patterns = filter.loadGitignore(scratch.path() + "/d" + std::to_string(round % 8));
        if (!patterns || patterns->size() != 2 || !(*patterns)[0].matches("x/y.o")) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// Random .gitignore lines never crash the compiler and compiled ones match
// what they were built from when the line is a plain name.
TEST(GitignoreTest, RandomLinesCompileOrAreDropped) {
  std::mt19937 rng(11);
  const std::string alphabet = "ab*?/!.[](){}+^$|\\# ";
  for (int round = 0; round < 2000; ++round) {
    std::string line;
    int n = static_cast<int>(rng() % 10);
    for (int i = 0; i < n; ++i) line.push_back(alphabet[rng() % alphabet.size()]);
    auto pattern = FileExclusionFilter::compileGitignoreLine(line);
    if (pattern && pattern->pattern.find_first_of("*?") == std::string::npos && !pattern->isAnchored) {
      EXPECT_TRUE(pattern->matches(pattern->pattern)) << line;
    }
  }
}

}  // namespace
}  // namespace pallix
