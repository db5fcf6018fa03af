// Fakes of the intelligence seams: data sources whose answers arrive after a
// virtual delay, a router with a scripted decision and a router factory the
// test completes by hand.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/intelligence/LocationProvider.h"
#include "app/intelligence/QueryRouting.h"
#include "core/TaskRunner.h"

namespace pallix::testing_support {

// Implements the VCRDataSource half of any source interface. Answers are
// posted on `runner` after `delay` unless the source was cancelled or reset
// in between.
template <typename Interface>
class FakeSourceBase : public Interface {
 public:
  using Answer = std::function<std::optional<VCRDataSourceResult>(const std::string&)>;
  FakeSourceBase(VCRDataSourceIdentifier id, TaskRunnerPtr runner, Answer answer = nullptr)
      : answer(std::move(answer)), id_(id), runner_(std::move(runner)) {}

  VCRDataSourceIdentifier identifier() const override { return id_; }
  bool shouldHandle(const std::string& query) override { return handles ? handles(query) : false; }
  void performSearch(const std::string& query, VCRDataSource::SearchCompletion completion) override {
    searches.push_back(query);
    std::optional<VCRDataSourceResult> result = answer ? answer(query) : std::nullopt;
    const uint64_t generation = generation_;
    auto alive = alive_;
    runner_->postDelayed(delay, [this, alive, generation, result, completion]() {
      if (!*alive || generation != generation_) return;
      completion(result);
    });
  }
  void cancelActiveQuery() override {
    ++cancels;
    ++generation_;
  }
  void reset() override {
    ++resets;
    ++generation_;
  }
  ~FakeSourceBase() override { *alive_ = false; }

  std::function<bool(const std::string&)> handles;
  Answer answer;
  Duration delay = std::chrono::milliseconds(10);
  std::vector<std::string> searches;
  int cancels = 0;
  int resets = 0;

 protected:
  // Hands `value` to `completion` after the delay.
  template <typename T>
  void later(T value, std::function<void(T)> completion) {
    runner_->postDelayed(delay, [value = std::move(value), completion] { completion(value); });
  }

  VCRDataSourceIdentifier id_;
  TaskRunnerPtr runner_;
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class FakeCalculator final : public FakeSourceBase<CalculatorSource> {
 public:
  // Digits and operators only; "2+2" is 4.
  explicit FakeCalculator(TaskRunnerPtr runner)
      : FakeSourceBase(VCRDataSourceIdentifier::calculator, runner,
                       [](const std::string& q) -> std::optional<VCRDataSourceResult> {
                         if (auto value = evaluate(q)) return VCRDataSourceResult(*value);
                         return std::nullopt;
                       }) {
    handles = [](const std::string& q) {
      return !q.empty() && q.find_first_not_of("0123456789+-*/ .") == std::string::npos;
    };
  }
  std::optional<CalculatorAnswer> calculate(const std::string& query) override {
    ++calculations;
    return evaluate(query);
  }
  static std::optional<CalculatorAnswer> evaluate(const std::string& query) {
    auto plus = query.find('+');
    if (plus == std::string::npos) return std::nullopt;
    double value = std::stod(query.substr(0, plus)) + std::stod(query.substr(plus + 1));
    std::string text = std::to_string(static_cast<long long>(value));
    return CalculatorAnswer{value, text, std::nullopt};
  }
  int calculations = 0;
};

// A source that asks for access; a request is granted.
template <typename Interface>
class FakeAuthorizedSource : public FakeSourceBase<Interface> {
 public:
  using FakeSourceBase<Interface>::FakeSourceBase;
  PermissionStatus authorizationStatus() const override { return status; }
  void requestAuthorization(std::function<void(bool)> completion) override {
    status = PermissionStatus::authorized;
    completion(true);
  }
  PermissionStatus status = PermissionStatus::authorized;
};

using FakePermissionedSource = FakeAuthorizedSource<PermissionedSource>;

class FakeCalendar final : public FakeAuthorizedSource<CalendarSource> {
 public:
  explicit FakeCalendar(TaskRunnerPtr runner) : FakeAuthorizedSource(VCRDataSourceIdentifier::calendar, runner) {}
  void upcomingEvents(double lookahead, int limit,
                      std::function<void(std::vector<CalendarSearchResult>)> completion) override {
    ++upcomingRequests;
    lastLookahead = lookahead;
    lastLimit = limit;
    later(events, std::move(completion));
  }
  int upcomingRequests = 0;
  double lastLookahead = 0;
  int lastLimit = 0;
  std::vector<CalendarSearchResult> events;
};

class FakeWeather final : public FakeSourceBase<WeatherSource> {
 public:
  explicit FakeWeather(TaskRunnerPtr runner)
      : FakeSourceBase(VCRDataSourceIdentifier::weather, runner, [](const std::string& q) {
          return VCRDataSourceResult(std::optional<WeatherSnapshot>(WeatherSnapshot{{q}}));
        }) {}
  WeatherLocationPreference locationPreference() const override { return preference; }
  void setLocationPreference(WeatherLocationPreference p) override { preference = p; }
  void setCurrentLocationProvider(CurrentLocationProvider p) override { provider = std::move(p); }
  void cancelPendingReverseGeocoding() override { ++reverseGeocodingCancels; }
  void fetchWeather(std::optional<LocationCoordinate> coordinate,
                    std::function<void(std::optional<WeatherSnapshot>)> completion) override {
    fetches.push_back(coordinate);
    later(fetchAnswer ? fetchAnswer(coordinate) : std::nullopt, std::move(completion));
  }
  WeatherLocationPreference preference = WeatherLocationPreference::automatic;
  CurrentLocationProvider provider;
  int reverseGeocodingCancels = 0;
  std::vector<std::optional<LocationCoordinate>> fetches;
  std::function<std::optional<WeatherSnapshot>(std::optional<LocationCoordinate>)> fetchAnswer;
};

class FakeMaps final : public FakeSourceBase<MapSource> {
 public:
  explicit FakeMaps(TaskRunnerPtr runner)
      : FakeSourceBase(VCRDataSourceIdentifier::maps, runner, [](const std::string& q) {
          return VCRDataSourceResult(std::vector<MapSearchResult>{MapSearchResult{MapItem{q}, q, "somewhere"}});
        }) {}
  std::optional<Location> lastKnownLocation() const override { return lastKnown; }
  void searchPlaces(const std::string& text, std::function<void(std::vector<MapSearchResult>)> completion) override {
    placeSearches.push_back(text);
    later(places, std::move(completion));
  }
  std::optional<Location> lastKnown;
  std::vector<std::string> placeSearches;
  std::vector<MapSearchResult> places;
};

class FakeDictionary final : public FakeSourceBase<DictionarySource> {
 public:
  explicit FakeDictionary(TaskRunnerPtr runner)
      : FakeSourceBase(VCRDataSourceIdentifier::dictionary, runner, [](const std::string& q) {
          return VCRDataSourceResult(DictionaryEntry{q, "a definition"});
        }) {}
  bool resolvesLookupCandidate(const std::string&) override { return true; }
};

class FakeWikipedia final : public FakeSourceBase<VCRDataSource> {
 public:
  explicit FakeWikipedia(TaskRunnerPtr runner)
      : FakeSourceBase(VCRDataSourceIdentifier::wikipedia, runner, [](const std::string& q) {
          return VCRDataSourceResult(WikipediaArticle{q, "summary", "https://example.org", std::nullopt, q});
        }) {}
};

// A router whose decision is a function of the text.
class FakeRouter final : public QueryRouting {
 public:
  Result<RouteResult> route(const std::string& text, const RouteOptions&) override {
    queries.push_back(text);
    if (failure) return *failure;
    RouteResult result;
    result.selected = decide ? decide(text) : std::set<DataSource>{};
    for (DataSource s : kAllRouterDataSources) result.probabilities[s] = result.selected.count(s) ? 0.98 : 0.01;
    return result;
  }
  std::function<std::set<DataSource>(const std::string&)> decide;
  std::optional<Error> failure;
  std::vector<std::string> queries;
};

// Captures build requests; the test completes them.
struct ManualRouterFactory {
  std::vector<RouterBuildCompletion> pending;
  std::vector<CancellationToken> tokens;
  int builds = 0;

  QueryRouterFactory factory() {
    return [this](CancellationToken cancel, RouterBuildCompletion completion) {
      ++builds;
      tokens.push_back(cancel);
      pending.push_back(std::move(completion));
    };
  }
  void complete(Result<std::shared_ptr<QueryRouting>> result) {
    if (pending.empty()) throw std::logic_error("no router build is pending");
    auto completion = std::move(pending.back());
    pending.pop_back();
    completion(std::move(result));
  }
};

}  // namespace pallix::testing_support
