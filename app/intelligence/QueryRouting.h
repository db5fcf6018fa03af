// QueryRouting: what the intelligence coordinator needs from the query router
// (the classifier plus lexical rules that pick data sources for a query).
//
// The router package implements QueryRouting; the coordinator builds it
// through a QueryRouterFactory off the main thread, once per warm-up cycle,
// and calls route() off the main thread once per query with the default
// options. Router errors use the domains "PallixRouter" and
// "PallixRouter.Tokenizer" with the router's codes and descriptions.
//
// Its own small target (pallix_query_routing, core only), so that the router
// links neither the intelligence nor the search library through it.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/Error.h"
#include "core/TaskRunner.h"

namespace pallix {

// The router's labels, in the fixed order of the classifier's outputs.
enum class DataSource { maps = 0, weather = 1, dictionary = 2, knowledge = 3, messages = 4, files = 5 };
inline constexpr std::array<DataSource, 6> kAllRouterDataSources = {DataSource::maps,       DataSource::weather,
                                                                    DataSource::dictionary, DataSource::knowledge,
                                                                    DataSource::messages,   DataSource::files};
const char* routerDataSourceRawValue(DataSource source);
// Any other string yields no value.
std::optional<DataSource> routerDataSourceFromRawValue(std::string_view raw);

struct RouteOptions {
  double minConfidence = 0.0;     // a floor raised under every threshold
  std::optional<int> maxSources;  // cap on the number of selected sources
  static RouteOptions defaults() { return {}; }
};

struct RouteResult {
  std::set<DataSource> selected;
  std::map<DataSource, double> probabilities;
  double latencyMs = 0;
};

// Thread-safe: route() may be called from any thread.
class QueryRouting {
 public:
  virtual ~QueryRouting() = default;
  virtual Result<RouteResult> route(const std::string& text, const RouteOptions& options) = 0;
};

// Builds a router (loads model, vocabulary and calibration, warms up) and
// hands it to `completion`, which may be called on any thread, once. Called on
// the coordinator's router runner; it may block there for seconds, and
// should give up early when `cancel` is set. The application's factory builds
// the bundled router with sequence length 128.
using RouterBuildCompletion = std::function<void(Result<std::shared_ptr<QueryRouting>>)>;
using QueryRouterFactory = std::function<void(CancellationToken cancel, RouterBuildCompletion completion)>;

// A factory around a blocking build function (the usual case).
QueryRouterFactory makeBlockingRouterFactory(
    std::function<Result<std::shared_ptr<QueryRouting>>(CancellationToken cancel)> build);

}  // namespace pallix
