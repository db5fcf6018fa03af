#include "app/sources/WeatherDataSource.h"

#include <algorithm>

namespace pallix {

namespace {

using Kind = WeatherDataKind;

template <typename T>
void trim(std::vector<T>& items, int limit) {
  if (limit >= 0 && items.size() > static_cast<size_t>(limit)) items.resize(static_cast<size_t>(limit));
}

// Hops a platform answer onto the main runner, into `apply` (which dies with the source).
template <typename T, typename F>
std::function<void(T)> onMain(const TaskRunnerPtr& main, F apply) {
  return [main, apply](T value) mutable {
    main->post([apply, value = std::move(value)]() mutable { apply(std::move(value)); });
  };
}

}  // namespace

WeatherDataSource::WeatherDataSource(Dependencies dependencies) : deps_(std::move(dependencies)) {}

WeatherDataSource::~WeatherDataSource() {
  cancelActiveQuery();
}

WeatherQueryAnalyzer WeatherDataSource::analyzer() const {
  return WeatherQueryAnalyzer(DateDetector(deps_.mainRunner->clock().wallNow(), deps_.timeZoneId));
}

bool WeatherDataSource::shouldHandle(const std::string& query) {
  return analyzer().intent(query, locationPreference_).has_value();
}

std::set<WeatherDataKind> WeatherDataSource::requestedKinds(WeatherForecastFocus focus) {
  switch (focus) {
    case WeatherForecastFocus::current:
      return {Kind::current, Kind::daily};
    case WeatherForecastFocus::nextHour:
      return {Kind::current, Kind::hourly};
    case WeatherForecastFocus::today:
    case WeatherForecastFocus::tonight:
      return {Kind::current, Kind::hourly, Kind::daily};
    case WeatherForecastFocus::tomorrow:
      return {Kind::daily};
  }
  return {Kind::current, Kind::hourly, Kind::daily};
}

WeatherSnapshot WeatherDataSource::makeSnapshot(const WeatherLookupRequest& request,
                                                const WeatherSnapshot::Location& location,
                                                const WeatherServiceResult& data) {
  WeatherSnapshot snapshot;
  snapshot.location = location;
  if (!snapshot.location.timeZone) snapshot.location.timeZone = data.timeZone;
  snapshot.requestedKinds = request.requestedKinds;
  snapshot.focus = request.focus;
  const auto wants = [&](Kind kind) { return request.requestedKinds.count(kind) != 0; };
  if (wants(Kind::current) && data.current) {
    snapshot.current = data.current;
    if (!data.daily.empty()) {
      if (!snapshot.current->highTemperature) snapshot.current->highTemperature = data.daily.front().highTemperature;
      if (!snapshot.current->lowTemperature) snapshot.current->lowTemperature = data.daily.front().lowTemperature;
    }
  }
  if (wants(Kind::hourly)) {
    snapshot.hourly = data.hourly;
    trim(snapshot.hourly, request.hourlyLimit);
  }
  if (wants(Kind::daily)) {
    snapshot.daily = data.daily;
    trim(snapshot.daily, request.dailyLimit);
  }
  if (wants(Kind::minute)) {
    snapshot.minute = data.minute;
    trim(snapshot.minute, request.minuteLimit.value_or(kMinuteLimit));
  }
  if (wants(Kind::alerts)) snapshot.alerts = data.alerts;
  return snapshot;
}

void WeatherDataSource::cancelActiveQuery() {
  activeSearch_.cancel();
  activeRequest_.cancel();
  activeSearch_ = TaskHandle();
  activeRequest_ = TaskHandle();
  cancelPendingReverseGeocoding();
}

void WeatherDataSource::cancelPendingReverseGeocoding() {
  pendingReverseGeocoding_.cancel();
  pendingReverseRequest_.cancel();
  pendingReverseGeocoding_ = TaskHandle();
  pendingReverseRequest_ = TaskHandle();
}

void WeatherDataSource::performSearch(const std::string& query, SearchCompletion completion) {
  search(query, [completion = std::move(completion)](SearchResult result) {
    completion(VCRDataSourceResult(std::move(result.snapshot)));
  });
}

void WeatherDataSource::search(const std::string& query, std::function<void(SearchResult)> completion) {
  cancelActiveQuery();
  auto intent = analyzer().intent(query, locationPreference_);
  if (!intent) {
    completion({});
    return;
  }
  WeatherLookupRequest request;
  request.query = query;
  request.requestedKinds = requestedKinds(intent->focus);
  request.hourlyLimit = kHourlyLimit;
  request.dailyLimit = kDailyLimit;
  request.focus = intent->focus;
  request.containsWeatherKeyword = intent->containsWeatherKeyword;

  TaskHandle search = TaskHandle::make();
  activeSearch_ = search;
  auto finish = [completion](std::optional<WeatherSnapshot> snapshot) {
    completion(SearchResult{std::move(snapshot)});
  };
  auto withPlace = weak_.wrap([this, request, search, finish](std::optional<WeatherSnapshot::Location> place) mutable {
    if (search.isCancelled()) return;
    if (!place) {
      finish(std::nullopt);
      return;
    }
    request.coordinate = place->coordinate;
    fetchAt(request, *place, search, finish);
  });

  if (!intent->useCurrentLocation) {
    resolveNamedPlace(intent->location, search, withPlace);
    return;
  }
  if (!currentLocationProvider_) {
    logger_.debug("No current-location provider; no weather for the current location");
    finish(std::nullopt);
    return;
  }
  currentLocationProvider_(onMain<std::optional<Location>>(
      deps_.mainRunner, weak_.wrap([this, search, withPlace, finish](std::optional<Location> location) mutable {
        if (search.isCancelled()) return;
        if (!location) {
          logger_.debug("No current location; no weather");
          finish(std::nullopt);
          return;
        }
        nameCoordinate(location->coordinate, withPlace);
      })));
}

void WeatherDataSource::resolveNamedPlace(const std::string& name, TaskHandle search, PlaceCompletion done) {
  if (!deps_.placeSearch) return done(std::nullopt);
  PlaceSearchRequest request;
  request.text = name;
  request.limit = 1;
  request.language = deps_.language;
  activeRequest_ = deps_.placeSearch->search(
      request, onMain<Result<std::vector<MapItem>>>(
                   deps_.mainRunner, weak_.wrap([this, search, name, done](Result<std::vector<MapItem>> items) {
                     if (search.isCancelled()) return;
                     if (!items.ok() || items->empty()) {
                       logger_.info("Weather place search found nothing for \"%s\"%s", name.c_str(),
                                    items.ok() ? "" : (": " + items.error().description()).c_str());
                       done(std::nullopt);
                       return;
                     }
                     const MapItem& item = items->front();
                     WeatherSnapshot::Location place{item.name, std::nullopt, item.coordinate, item.timeZone};
                     if (item.locality && *item.locality != item.name) {
                       place.detail = item.locality;
                     } else {
                       place.detail = item.shortAddress;
                     }
                     done(place);
                   })));
}

void WeatherDataSource::nameCoordinate(const LocationCoordinate& coordinate, PlaceCompletion done) {
  WeatherSnapshot::Location unnamed{WeatherQueryIntent::kCurrentLocation, std::nullopt, coordinate, std::nullopt};
  cancelPendingReverseGeocoding();
  if (!deps_.reverseGeocoder) return done(unnamed);
  TaskHandle geocoding = TaskHandle::make();
  pendingReverseGeocoding_ = geocoding;
  pendingReverseRequest_ = deps_.reverseGeocoder->reverseGeocode(
      coordinate, deps_.language,
      onMain<Result<MapItem>>(deps_.mainRunner, weak_.wrap([this, geocoding, unnamed, done](Result<MapItem> item) {
        if (geocoding.isCancelled()) return;
        pendingReverseGeocoding_ = TaskHandle();
        pendingReverseRequest_ = TaskHandle();
        if (!item.ok()) {
          logger_.info("Reverse geocoding failed: %s", item.error().description().c_str());
          done(unnamed);
          return;
        }
        WeatherSnapshot::Location place = unnamed;
        if (!item->name.empty()) {
          place.name = item->name;
        } else if (item->locality) {
          place.name = *item->locality;
        } else if (item->shortAddress) {
          place.name = *item->shortAddress;
        }
        if (item->locality && *item->locality != place.name) place.detail = item->locality;
        place.timeZone = item->timeZone;
        done(place);
      })));
}

void WeatherDataSource::fetchAt(const WeatherLookupRequest& request, const WeatherSnapshot::Location& location,
                                TaskHandle search, std::function<void(std::optional<WeatherSnapshot>)> done) {
  if (!deps_.weatherService) return done(std::nullopt);
  WeatherServiceRequest fetch;
  fetch.coordinate = location.coordinate;
  fetch.kinds = request.requestedKinds;
  fetch.hourlyLimit = request.hourlyLimit;
  fetch.dailyLimit = request.dailyLimit;
  fetch.minuteLimit = request.minuteLimit.value_or(kMinuteLimit);
  TaskHandle handle = deps_.weatherService->fetchWeather(
      fetch,
      onMain<Result<WeatherServiceResult>>(
          deps_.mainRunner, weak_.wrap([this, request, location, search, done](Result<WeatherServiceResult> data) {
            if (search.isCancelled()) return;
            if (!data.ok()) {
              logger_.info("Weather fetch failed: %s", data.error().description().c_str());
              done(std::nullopt);
              return;
            }
            done(makeSnapshot(request, location, data.value()));
          })));
  // Only a search's own fetch is abandoned with it; ambient fetches run to the end.
  if (search.valid()) activeRequest_ = handle;
}

void WeatherDataSource::fetchWeather(std::optional<LocationCoordinate> coordinate,
                                     std::function<void(std::optional<WeatherSnapshot>)> completion) {
  WeatherLookupRequest request;
  request.requestedKinds = {Kind::current, Kind::hourly, Kind::daily, Kind::minute};
  request.hourlyLimit = kHourlyLimit;
  request.dailyLimit = kDailyLimit;
  request.minuteLimit = kMinuteLimit;
  request.focus = WeatherForecastFocus::current;
  request.coordinate = coordinate;
  if (coordinate) {
    fetchAt(request, WeatherSnapshot::Location{"", std::nullopt, *coordinate, std::nullopt}, TaskHandle(), completion);
    return;
  }
  if (!currentLocationProvider_) {
    completion(std::nullopt);
    return;
  }
  currentLocationProvider_(onMain<std::optional<Location>>(
      deps_.mainRunner, weak_.wrap([this, request, completion](std::optional<Location> location) mutable {
        if (!location) {
          completion(std::nullopt);
          return;
        }
        nameCoordinate(location->coordinate,
                       weak_.wrap([this, request, completion](std::optional<WeatherSnapshot::Location> place) {
                         if (!place) {
                           completion(std::nullopt);
                           return;
                         }
                         fetchAt(request, *place, TaskHandle(), completion);
                       }));
      })));
}

}  // namespace pallix
