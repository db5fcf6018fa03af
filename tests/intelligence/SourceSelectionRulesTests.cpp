// Golden tables for the rule-based source choice (fallback and forced sets)
// and the router label mapping.
#include <gtest/gtest.h>

#include "app/intelligence/QueryRouting.h"
#include "app/intelligence/SourceSelectionRules.h"
#include "tests/intelligence/IntelligenceTestSupport.h"

namespace pallix {
namespace {

using testing_support::utc;
using Id = VCRDataSourceIdentifier;
using Ids = std::set<Id>;

struct RulesCase {
  const char* text;
  Ids fallback;
  Ids forced;
};

class SourceSelectionRulesTest : public ::testing::Test {
 protected:
  SourceSelectionContext context() {
    SourceSelectionContext c;
    c.isEnabled = [this](Id id) { return !disabled.count(id); };
    c.weatherAnalyzer = &analyzer;
    c.dictionaryResolvesCandidate = [this](const std::string&) { return dictionaryResolves; };
    c.addressDetector = addressDetector;
    return c;
  }
  WeatherQueryAnalyzer analyzer{DateDetector(utc(2026, 3, 11, 10), "UTC")};
  std::set<Id> disabled;
  bool dictionaryResolves = true;
  std::function<bool(const std::string&)> addressDetector = [](const std::string& text) {
    return text.find("1 infinite loop") != std::string::npos;
  };
};

TEST_F(SourceSelectionRulesTest, GoldenTable) {
  const RulesCase cases[] = {
      {"weather tomorrow", {Id::weather}, {Id::weather}},
      // "louvre" contains the forcing keyword "uv".
      {"directions to the louvre", {Id::maps}, {Id::maps, Id::weather}},
      {"directions to oslo", {Id::maps}, {Id::maps}},
      {"coffee near me", {Id::maps}, {Id::maps}},
      {"navigate home", {Id::maps}, {Id::maps}},
      {"Route 66 diner", {Id::maps}, {Id::maps}},
      {"roadmap q3", {}, {}},
      {"def serendipity", {Id::dictionary}, {Id::dictionary}},
      {"serendipity definition", {Id::dictionary}, {Id::dictionary}},
      {"DEF: ennui", {Id::dictionary}, {Id::dictionary}},
      {"define serendipity", {}, {}},
      {"default settings", {}, {}},
      {"rain in tokyo", {Id::weather}, {Id::weather}},
      {"air quality", {}, {Id::weather}},
      {"sunset", {Id::weather}, {Id::weather}},
      // The forcing keywords are substrings: "windows" contains "wind".
      {"windows update", {}, {Id::weather}},
      {"tomorrow", {Id::weather}, {}},
      {"history of rome", {}, {}},
      // What the address detector recognises forces maps and weather.
      {"1 infinite loop cupertino", {Id::maps}, {Id::maps, Id::weather}},
      {"", {}, {}},
      {"   ", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SourceSelectionRules::fallbackIdentifiers(c.text, context()), c.fallback);
    EXPECT_EQ(SourceSelectionRules::forcedIdentifiers(c.text, context()), c.forced);
  }
}

TEST_F(SourceSelectionRulesTest, SwitchesAndTheDictionaryCandidateGateTheRules) {
  disabled = {Id::weather, Id::maps};
  EXPECT_TRUE(SourceSelectionRules::fallbackIdentifiers("weather directions to paris", context()).empty());
  EXPECT_TRUE(SourceSelectionRules::forcedIdentifiers("weather directions to paris", context()).empty());
  disabled.clear();
  dictionaryResolves = false;
  EXPECT_TRUE(SourceSelectionRules::fallbackIdentifiers("def serendipity", context()).empty());
  EXPECT_TRUE(SourceSelectionRules::forcedIdentifiers("def serendipity", context()).empty());
}

TEST(QueryRoutingTest, LabelsMapToIdentifiers) {
  const std::pair<DataSource, Id> labels[] = {{DataSource::maps, Id::maps},
                                              {DataSource::weather, Id::weather},
                                              {DataSource::dictionary, Id::dictionary},
                                              {DataSource::knowledge, Id::wikipedia},
                                              {DataSource::messages, Id::messages},
                                              {DataSource::files, Id::files}};
  for (auto [source, id] : labels) EXPECT_EQ(identifierForRouterSource(source), id) << routerDataSourceRawValue(source);
  for (DataSource s : kAllRouterDataSources) EXPECT_EQ(routerDataSourceFromRawValue(routerDataSourceRawValue(s)), s);
  EXPECT_FALSE(routerDataSourceFromRawValue("wikipedia"));
}

}  // namespace
}  // namespace pallix
