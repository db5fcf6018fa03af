// Sizes, dates and diacritic folding against hand-written expectations.
#include <gtest/gtest.h>

#include "core/DiacriticFolding.h"
#include "core/Formatting.h"

namespace pallix {
namespace {

TEST(FormattingTest, SizesUseDecimalUnits) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "0 B"},          {999, "999 B"},         {1000, "1.0 KB"},          {1536, "1.5 KB"},
      {1048576, "1.0 MB"}, {2500000000, "2.5 GB"}, {7000000000000, "7.0 TB"}, {9000000000000000, "9000.0 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(humanSize(bytes), text) << bytes;
}

TEST(FormattingTest, DatesAreUtcIsoToTheSecond) {
  EXPECT_EQ(isoDate(dateFromSecondsSince1970(0)), "1970-01-01T00:00:00Z");
  EXPECT_EQ(isoDate(dateFromSecondsSince1970(1773223200.75)), "2026-03-11T10:00:00Z");
  EXPECT_EQ(isoDate(std::optional<Date>()), "");
}

TEST(FormattingTest, DiacriticsGoAndCaseStays) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Élan", "Elan"},
      {"Crème Brûlée", "Creme Brulee"},
      {"naïve", "naive"},
      {"ASCII Only", "ASCII Only"},
      {"한국어", "한국어"},
      {"Åström", "Astrom"},
      {"", ""},
  };
  for (const auto& [text, folded] : cases) EXPECT_EQ(withoutDiacritics(std::string_view(text)), folded) << text;
}

}  // namespace
}  // namespace pallix
