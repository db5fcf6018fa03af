// The bundled router's scores on queries as a new user writes them: the
// generated held-out split and the hand-written set (tests/data/router/
// handwritten.jsonl, written by hand and never used for training). The mean
// F1 over the six labels of the whole decision (shortcut, then classifier)
// must reach 0.92 on both, and no label may fall below 0.8.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "PallixRouter/PallixRouter.h"
#include "RouterTestSupport.h"

namespace pallix::router {
namespace {

using testing::routerResourcesPath;
using testing::TempDir;
using testing::testDataPath;

struct Counts {
  int tp = 0, fp = 0, fn = 0;
  double f1() const { return tp == 0 ? 0.0 : 2.0 * tp / (2.0 * tp + fp + fn); }
};

class RoutingScoreTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RoutingScoreTest, MeanF1ReachesTheGoal) {
  TempDir cache;
  auto router = PallixRouter::create(routerResourcesPath(), 128, cache.path());
  ASSERT_TRUE(router.ok()) << router.error().description();
  std::map<DataSource, Counts> counts;
  std::ifstream in(testDataPath(GetParam()));
  std::string line;
  int rows = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto row = nlohmann::json::parse(line);
    std::set<DataSource> gold;
    for (const auto& l : row.at("labels")) gold.insert(*routerDataSourceFromRawValue(l.get<std::string>()));
    auto routed = (*router)->route(row.at("text").get<std::string>(), {});
    ASSERT_TRUE(routed.ok());
    for (DataSource s : kAllRouterDataSources) {
      const bool p = routed->selected.count(s) != 0, g = gold.count(s) != 0;
      counts[s].tp += p && g;
      counts[s].fp += p && !g;
      counts[s].fn += !p && g;
    }
    ++rows;
  }
  ASSERT_GE(rows, 150);
  double mean = 0;
  for (DataSource s : kAllRouterDataSources) {
    EXPECT_GE(counts[s].f1(), 0.8) << routerDataSourceRawValue(s);
    mean += counts[s].f1() / static_cast<double>(kAllRouterDataSources.size());
  }
  EXPECT_GE(mean, 0.92);
}

INSTANTIATE_TEST_SUITE_P(Sets, RoutingScoreTest, ::testing::Values("heldout.jsonl", "handwritten.jsonl"),
                         [](const auto& info) { return std::string(info.index == 0 ? "HeldOut" : "HandWritten"); });

}  // namespace
}  // namespace pallix::router
