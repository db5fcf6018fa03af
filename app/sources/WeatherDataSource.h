// WeatherDataSource: the weather source (identifier `weather`). It reads the
// query with the weather analyzer, resolves the place (a named place through
// the forecast geocoder, or through the general place search when it names a
// region: "Portland, Maine"; the current location from the coordinator,
// called by the name the user set for it or else named by reverse
// geocoding), asks the forecast service for the data kinds the focus needs
// and builds a WeatherSnapshot, narrowed to the hours or days of a time the
// question names ("tonight", "on friday"). The ambient highlights use
// fetchWeather() for the local forecast and the forecast at an event's place.
//
// Threading: every method is called on the main runner, and the platform
// answers hop back to it before they touch any state. One search and one
// reverse geocoding are in flight at a time; a new one cancels the previous.
// Failures (no place, no coordinate, a failed search or fetch) give an empty
// result and are logged, never reported to the caller as errors.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/intelligence/LocationProvider.h"
#include "app/platform/PlaceSearch.h"
#include "app/platform/WeatherService.h"
#include "core/Logger.h"

namespace pallix {

struct WeatherLookupRequest {
  std::string query;
  std::optional<LocationCoordinate> coordinate;
  std::set<WeatherDataKind> requestedKinds;
  int hourlyLimit = 0;
  int dailyLimit = 0;
  std::optional<int> minuteLimit;
  WeatherForecastFocus focus = WeatherForecastFocus::current;
  bool containsWeatherKeyword = false;
  std::optional<Date> focusStart;  // the time the question named, if any
  std::optional<Date> focusEnd;
};

class WeatherDataSource final : public WeatherSource {
 public:
  static constexpr int kHourlyLimit = 24;
  static constexpr int kDailyLimit = 7;
  static constexpr int kMinuteLimit = 60;
  // Hours shown around a named time: from two hours before a point in time
  // ("at 9pm"), from the start of a span ("tonight").
  static constexpr int kHoursBeforeFocus = 2;
  static constexpr int kHoursAroundFocus = 6;
  // "next friday" asked on a Friday is seven days ahead: the eighth day.
  static constexpr int kDailyLimitForLaterDays = 8;

  struct SearchResult {
    std::optional<WeatherSnapshot> snapshot;
  };

  struct Dependencies {
    std::shared_ptr<WeatherService> weatherService;
    std::shared_ptr<PlaceSearch> placeSearch;      // place names to places
    std::shared_ptr<PlaceSearch> reverseGeocoder;  // coordinates to names; may be null
    TaskRunnerPtr mainRunner;
    std::string timeZoneId;  // for the analyzer's dates; empty: the process's zone
    std::string language = "en";
    // Names with a region ("Portland, Maine", "Dover UK"), which the forecast
    // geocoder cannot read: the general place search. May be null.
    std::shared_ptr<PlaceSearch> qualifiedPlaceSearch;
  };

  explicit WeatherDataSource(Dependencies dependencies);
  ~WeatherDataSource() override;

  // VCRDataSource
  VCRDataSourceIdentifier identifier() const override { return VCRDataSourceIdentifier::weather; }
  bool shouldHandle(const std::string& query) override;
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override;
  void reset() override { cancelActiveQuery(); }

  // WeatherSource
  WeatherLocationPreference locationPreference() const override { return locationPreference_; }
  void setLocationPreference(WeatherLocationPreference preference) override { locationPreference_ = preference; }
  void setCurrentLocationProvider(CurrentLocationProvider provider) override {
    currentLocationProvider_ = std::move(provider);
  }
  void cancelPendingReverseGeocoding() override;
  void fetchWeather(std::optional<LocationCoordinate> coordinate,
                    std::function<void(std::optional<WeatherSnapshot>)> completion) override;

  void search(const std::string& query, std::function<void(SearchResult)> completion);

  // The data kinds a focus needs.
  static std::set<WeatherDataKind> requestedKinds(WeatherForecastFocus focus);
  // The snapshot for a request at a place from the service's answer, trimmed
  // to the request's limits; with a named time, the hours from just before it
  // (at most kHoursAroundFocus) and, for later days, only the days it spans.
  // The region a place name names after its town ("portland, maine" ->
  // "maine", "dover uk" -> "uk"); empty for a name of one word.
  static std::string regionQualifier(std::string_view name);
  // The first item in the named region, else the first item (none: -1).
  static int preferredItem(const std::vector<MapItem>& items, std::string_view region);
  static WeatherSnapshot makeSnapshot(const WeatherLookupRequest& request, const WeatherSnapshot::Location& location,
                                      const WeatherServiceResult& data);

 private:
  using PlaceCompletion = std::function<void(std::optional<WeatherSnapshot::Location>)>;
  WeatherQueryAnalyzer analyzer() const;
  void resolveNamedPlace(const std::string& name, TaskHandle search, PlaceCompletion done);
  void resolveQualifiedPlace(const std::string& name, TaskHandle search, PlaceCompletion done);
  // The place of a location: its set name, else what reverse geocoding calls it.
  void nameLocation(const Location& location, PlaceCompletion done);
  void fetchAt(const WeatherLookupRequest& request, const WeatherSnapshot::Location& location, TaskHandle search,
               std::function<void(std::optional<WeatherSnapshot>)> done);

  Dependencies deps_;
  WeatherLocationPreference locationPreference_ = WeatherLocationPreference::automatic;
  CurrentLocationProvider currentLocationProvider_;
  TaskHandle activeSearch_;
  TaskHandle activeRequest_;  // the place search or forecast fetch of the active search
  TaskHandle pendingReverseGeocoding_;
  TaskHandle pendingReverseRequest_;  // the geocoder's own handle for it
  Logger logger_{"WeatherDataSource"};
  WeakGuard weak_;
};

}  // namespace pallix
