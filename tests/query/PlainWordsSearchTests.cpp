// Plain-words searches over a real catalog: a compiled query answers with
// its filters, and words that may be a name answer both ways in the order
// exact name, compiled filters, other names, each file once.
#include <gtest/gtest.h>

#include "app/search/PlainWordsSearch.h"
#include "tests/query/FileSearchTestCatalog.h"

namespace pallix {
namespace {

using testing::FileSearchTestCatalog;
using testing::makeFile;

constexpr int64_t kMegabyte = 1024 * 1024;

class PlainWordsSearchTest : public ::testing::Test {
 protected:
  PlainWordsSearchTest() {
    const Date modified = context.now - std::chrono::hours(24 * 40);
    for (IndexedItem item : {makeFile("/h/big fish", "", 10, modified),
                             makeFile("/h/big fish poster.png", "png", 2 * kMegabyte, modified, {}, "image"),
                             makeFile("/h/fish tank.mkv", "mkv", 200 * kMegabyte, modified, {}, "video"),
                             makeFile("/h/fishing trip.mp4", "mp4", 50 * kMegabyte, modified, {}, "video"),
                             makeFile("/h/backup.tar", "tar", 900 * kMegabyte, modified, {}, "archive")}) {
      catalog.insert(item);
    }
  }
  std::vector<std::string> paths(const std::string& text) {
    auto page = searchPlainWords(catalog.db(), PlainWordsFilters::read(text, context), 50, context);
    EXPECT_TRUE(page.ok()) << text;
    std::vector<std::string> out;
    if (page.ok()) {
      for (const FileSearchResult& r : page->results) out.push_back(r.item.path);
    }
    return out;
  }

  DateContext context{.now = dateFromSecondsSince1970(1796817600), .timeZoneId = "UTC"};
  FileSearchTestCatalog catalog;
};

TEST_F(PlainWordsSearchTest, ACompiledQueryAnswersWithItsFilters) {
  EXPECT_EQ(paths("big videos"), std::vector<std::string>{"/h/fish tank.mkv"});
  EXPECT_EQ(paths("huge files"), std::vector<std::string>{});
  EXPECT_EQ(paths("videos over 10mb about fish"),
            (std::vector<std::string>{"/h/fish tank.mkv", "/h/fishing trip.mp4"}));
}

TEST_F(PlainWordsSearchTest, BothReadingsComeExactNameFirstThenTheFiltersThenOtherNames) {
  EXPECT_EQ(paths("big fish"), (std::vector<std::string>{"/h/big fish", "/h/fish tank.mkv", "/h/big fish poster.png"}));
}

TEST_F(PlainWordsSearchTest, ANameIsSearchedAsTyped) {
  EXPECT_EQ(paths("big fish poster.png"), std::vector<std::string>{"/h/big fish poster.png"});
}

}  // namespace
}  // namespace pallix
