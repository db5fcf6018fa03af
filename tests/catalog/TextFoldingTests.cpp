#include <gtest/gtest.h>

#include <random>

#include "app/search/TextFolding.h"

namespace pallix {
namespace {

TEST(TextFoldingTest, FoldsCaseAndDiacriticsAndKeepsOtherScripts) {
  EXPECT_EQ(foldForSearch("Hello World.TXT"), "hello world.txt");
  EXPECT_EQ(foldForSearch("Café Crème"), "cafe creme");
  EXPECT_EQ(foldForSearch("ÅNGSTRÖM"), "angstrom");
  EXPECT_EQ(foldForSearch("Straße"), "strasse");  // full case fold
  EXPECT_EQ(foldForSearch("e\xCC\x81"), "e");     // decomposed input
  EXPECT_EQ(foldForSearch("ΣΊΣΥΦΟΣ"), foldForSearch("σίσυφος"));
  EXPECT_EQ(foldForSearch(""), "");
  EXPECT_EQ(foldForSearch("日本語"), "日本語");  // scripts without marks stay
  EXPECT_EQ(foldForSearch("Ǆ"), "ǆ");
}

TEST(TextFoldingTest, IsIdempotentOnRandomInput) {
  std::mt19937 rng(7);
  const char* pieces[] = {"a", "Z", "é", "Ö", "ß", "ﬁ", "İ", "\xCC\x81", " ", ".", "日", "\xFF", "Σ"};
  for (int round = 0; round < 500; ++round) {
    std::string text;
    int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) text += pieces[rng() % std::size(pieces)];
    std::string once = foldForSearch(text);
    EXPECT_EQ(foldForSearch(once), once) << text;
  }
}

}  // namespace
}  // namespace pallix
