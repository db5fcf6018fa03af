// Benchmarks: the query analyzers, the rule-based source choice, and a
// settled standard-mode search that ends with the calculator answer in the
// panel store (the work done after the 100 ms debounce: store, coordinator
// with a ready router, calculator short-circuit).
#include <benchmark/benchmark.h>

#include "app/intelligence/CalculatorSourceAdapter.h"
#include "app/intelligence/IntelligenceCoordinator.h"
#include "app/intelligence/PanelIntelligenceStore.h"
#include "app/intelligence/SourceSelectionRules.h"
#include "app/intelligence/TemporalQueryAnalyzer.h"
#include "testing/VirtualTime.h"

namespace pallix {
namespace {

const char* const kQueries[] = {"weather tomorrow",
                                "what's the weather in paris tonight",
                                "rain near me",
                                "directions to the louvre",
                                "def serendipity",
                                "dinner plans last week",
                                "budget spreadsheet 2024",
                                "spotify"};

void BM_WeatherIntent(benchmark::State& state) {
  WeatherQueryAnalyzer analyzer(DateDetector(SystemClock::instance().wallNow(), "UTC"));
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(analyzer.intent(kQueries[i++ % std::size(kQueries)]));
}
BENCHMARK(BM_WeatherIntent);

void BM_TemporalAnalyze(benchmark::State& state) {
  TemporalQueryAnalyzer analyzer(SystemClock::instance().wallNow(), "UTC", "en_US");
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(analyzer.analyze(kQueries[i++ % std::size(kQueries)]));
}
BENCHMARK(BM_TemporalAnalyze);

void BM_FallbackAndForcedRules(benchmark::State& state) {
  WeatherQueryAnalyzer analyzer(DateDetector(SystemClock::instance().wallNow(), "UTC"));
  SourceSelectionContext context;
  context.isEnabled = [](VCRDataSourceIdentifier) { return true; };
  context.weatherAnalyzer = &analyzer;
  context.dictionaryResolvesCandidate = [](const std::string&) { return true; };
  size_t i = 0;
  for (auto _ : state) {
    const char* q = kQueries[i++ % std::size(kQueries)];
    benchmark::DoNotOptimize(SourceSelectionRules::fallbackIdentifiers(q, context));
    benchmark::DoNotOptimize(SourceSelectionRules::forcedIdentifiers(q, context));
  }
}
BENCHMARK(BM_FallbackAndForcedRules);

class ReadyRouter final : public QueryRouting {
 public:
  Result<RouteResult> route(const std::string&, const RouteOptions&) override { return RouteResult{}; }
};

// From runSettledSearch to the calculator answer in the store.
void BM_SettledCalculatorSearch(benchmark::State& state) {
  VirtualTimeEnvironment env;
  CalculatorDataSource::Options options;
  options.localeName = "en_US";
  auto calculator = std::make_shared<CalculatorSourceAdapter>(std::make_shared<CalculatorDataSource>(options));
  IntelligenceCoordinator::Dependencies deps;
  deps.mainRunner = env.mainRunner();
  deps.routerRunner = env.makeRunner("router");
  deps.sources.calculator = calculator;
  deps.routerFactory = [](CancellationToken, RouterBuildCompletion done) {
    done(std::shared_ptr<QueryRouting>(std::make_shared<ReadyRouter>()));
  };
  auto coordinator = std::make_shared<IntelligenceCoordinator>(deps);
  coordinator->warmRouterIfNeeded();
  env.runUntilIdle();
  PanelIntelligenceStore store(env.mainRunner(), calculator);
  store.configure(coordinator, nullptr);
  const char* const expressions[] = {"1000 + 1", "100 usd to eur", "5 km to miles", "(3+4)*12/7"};
  size_t i = 0;
  for (auto _ : state) {
    const char* q = expressions[i++ % std::size(expressions)];
    store.prepareForPendingQuery(q, {});
    store.runSettledSearch(q);
    env.runUntilIdle();
    if (!store.calculatorResultText()) state.SkipWithError("no calculator answer");
  }
}
BENCHMARK(BM_SettledCalculatorSearch)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace pallix
