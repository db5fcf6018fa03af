#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "CatalogTestSupport.h"
#include "app/search/FileExclusionFilter.h"
#include "tests/support/LogCapture.h"

namespace pallix {
namespace {

TEST(FileExclusionFilterTest, AppliesEachRule) {
  FileExclusionFilter filter;
  const std::pair<const char*, bool> cases[] = {
      {"/home/u/Documents/.env", true},
      {"/home/u/Documents/server.PEM", true},
      {"/home/u/Documents/data.sqlite-wal", true},
      {"/home/u/Documents/id_rsa.pub", true},
      {"/home/u/Documents/Secrets.txt", true},
      {"/home/u/project/node_modules/lodash/readme.md", true},
      {"/home/u/project/Build/out.txt", true},
      {"/home/u/project/DerivedData", true},
      {"/home/u/Documents/report.pdf", false},
      {"/home/u/Documents/builder/notes.md", false},
      {"/home/u/Documents/tokenizer.py", false},
      // Hidden applies to the last component only; a hidden folder that is
      // not a listed name does not exclude what is inside it.
      {"/home/u/.config/app/settings.json", false},
      {"/home/u/.cache/thumb.png", true},
      {"/home/u/Documents/dir/ok", false},
  };
  for (const auto& [path, excluded] : cases) EXPECT_EQ(filter.shouldExclude(path), excluded) << path;
  EXPECT_TRUE(filter.isSupportedTextExtension("MD"));
  EXPECT_FALSE(filter.isSupportedTextExtension("pdf"));
}

TEST(GitignoreTest, LinesBecomeExpressionsThatMatchRelativePaths) {
  struct Case {
    const char* line;
    const char* expression;
    std::vector<std::string> matching, notMatching;
  };
  const Case cases[] = {
      {"/build/", "^build($|/)", {"build", "build/x.o"}, {"src/build", "builder"}},
      {"docs/**/*.md", "(^|/)docs/.*/[^/]*\\.md($|/)", {"docs/a/b.md", "x/docs/a/b/c.md"}, {"docs/b.txt"}},
      {"  !keep?.log  ", "(^|/)keep[^/]\\.log($|/)", {"keep1.log"}, {"keep/.log"}},
      {"*.log", "(^|/)[^/]*\\.log($|/)", {"a/b/c.log"}, {"a.log.txt"}},
  };
  for (const Case& c : cases) {
    auto pattern = FileExclusionFilter::compileGitignoreLine(c.line);
    ASSERT_TRUE(pattern) << c.line;
    EXPECT_EQ(pattern->expression, c.expression) << c.line;
    for (const auto& path : c.matching) EXPECT_TRUE(pattern->matches(path)) << c.line << " " << path;
    for (const auto& path : c.notMatching) EXPECT_FALSE(pattern->matches(path)) << c.line << " " << path;
  }
  auto build = FileExclusionFilter::compileGitignoreLine("/build/");
  EXPECT_TRUE(build->isAnchored && build->isDirectoryOnly && !build->isNegated);
  EXPECT_EQ(build->pattern, "build");
  EXPECT_EQ(FileExclusionFilter::gitignoreExpression("a+b(c)[d]{e}|^$\\", false),
            "(^|/)a\\+b\\(c\\)\\[d\\]\\{e\\}\\|\\^\\$\\\\($|/)");
  for (const char* dropped : {"# comment", "   ", "/"})
    EXPECT_FALSE(FileExclusionFilter::compileGitignoreLine(dropped));
}

TEST(GitignoreTest, LoadsAndCachesFilesAndGivesNothingForUnreadableOnes) {
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
  testing::ScopedLogCapture quiet;
  EXPECT_FALSE(filter.loadGitignore(scratch.path() + "/missing"));
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
