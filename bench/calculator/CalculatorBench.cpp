// Calculator cost on the query path: the pre-test alone, the calculation
// alone, and the full answer (pre-test then calculation) as the intelligence
// coordinator runs it for a settled standard-mode query. The goal the
// calculator serves is a settled search with the calculator answer in under
// 10 ms; the calculator's share should be a few microseconds.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "app/calculator/CalculatorDataSource.h"

namespace {

const pallix::CalculatorDataSource& calculator() {
  static const pallix::CalculatorDataSource instance(pallix::CalculatorDataSource::Options{"en_US", nullptr});
  return instance;
}

const std::vector<std::string> kQueries = {
    "2+3*4",          "(2+3)*4",          "200 * 15%",      "1,000 + 1",  "−3 × 4 ÷ 2",
    "100 usd to eur", "100 eur in jpy",   "5 km to miles",  "72 °F to C", "1 acre to sqft",
    "safari",         "weather in paris", "to do 2 things", "10 / 0",     "5 km to kg",
    "1e3 * 2.5E-2",   "100 km/h to mph",  "3 ft/s to m/s",  "2^3",        "-500 K to C",
};

void BM_ShouldHandle(benchmark::State& state) {
  const std::string& query = kQueries[static_cast<size_t>(state.range(0))];
  for (auto _ : state) benchmark::DoNotOptimize(calculator().shouldHandle(query));
  state.SetLabel(query);
}

void BM_Calculate(benchmark::State& state) {
  const std::string& query = kQueries[static_cast<size_t>(state.range(0))];
  for (auto _ : state) benchmark::DoNotOptimize(calculator().calculate(query));
  state.SetLabel(query);
}

// What the coordinator does per settled query: the pre-test, then the calculation when it accepts.
void BM_FullAnswer(benchmark::State& state) {
  const std::string& query = kQueries[static_cast<size_t>(state.range(0))];
  for (auto _ : state) {
    std::optional<pallix::CalculatorResult> result;
    if (calculator().shouldHandle(query)) result = calculator().calculate(query);
    benchmark::DoNotOptimize(result);
  }
  state.SetLabel(query);
}

// One-time cost: building the formatters and tables when the data source is created.
void BM_Construction(benchmark::State& state) {
  for (auto _ : state) {
    pallix::CalculatorDataSource instance(pallix::CalculatorDataSource::Options{"en_US", nullptr});
    benchmark::DoNotOptimize(&instance);
  }
}

void queryArguments(benchmark::internal::Benchmark* benchmark) {
  for (size_t i = 0; i < kQueries.size(); ++i) benchmark->Arg(static_cast<int64_t>(i));
}

BENCHMARK(BM_ShouldHandle)->Apply(queryArguments);
BENCHMARK(BM_Calculate)->Apply(queryArguments);
BENCHMARK(BM_FullAnswer)->Apply(queryArguments);
BENCHMARK(BM_Construction)->Unit(benchmark::kMicrosecond);

}  // namespace
