#include "app/sources/WeatherDataSource.h"

#include <algorithm>

#include "app/intelligence/IntelligenceText.h"

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
    case WeatherForecastFocus::day:
    case WeatherForecastFocus::weekend:
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
  snapshot.focusStart = request.focusStart;
  snapshot.focusEnd = request.focusEnd;
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
    const bool point = request.focusStart && (!request.focusEnd || *request.focusEnd <= *request.focusStart);
    const std::optional<Date> from =
        request.focusStart
            ? std::optional<Date>(*request.focusStart - std::chrono::hours(point ? kHoursBeforeFocus : 0))
            : std::nullopt;
    // Only a later time narrows the hours: "today" asked at ten keeps them all.
    if (from && !snapshot.hourly.empty() && *from > snapshot.hourly.front().date) {
      // An hour's entry covers the hour that starts at its date.
      std::erase_if(snapshot.hourly, [&](const HourForecast& h) { return h.date + std::chrono::hours(1) <= *from; });
      trim(snapshot.hourly, kHoursAroundFocus);
    }
    trim(snapshot.hourly, request.hourlyLimit);
  }
  if (wants(Kind::daily)) {
    snapshot.daily = data.daily;
    const bool laterDays = request.focus == WeatherForecastFocus::day || request.focus == WeatherForecastFocus::weekend;
    if (laterDays && request.focusStart) {
      const Date from = *request.focusStart;
      const Date to = request.focusEnd.value_or(from);
      // A day's entry is dated at its start in the place's zone, which may lie
      // hours from the asker's: a day counts when it holds the named time, or
      // half a day or more of the named span.
      std::erase_if(snapshot.daily, [&](const DayForecast& d) {
        const Date end = d.date + std::chrono::hours(24);
        if (to <= from) return from < d.date || from >= end;
        return std::min(end, to) - std::max(d.date, from) < std::chrono::hours(12);
      });
    }
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
  request.focusStart = intent->focusStart;
  request.focusEnd = intent->focusEnd;
  if (intent->focus == WeatherForecastFocus::day || intent->focus == WeatherForecastFocus::weekend) {
    request.dailyLimit = kDailyLimitForLaterDays;
  }

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
        nameLocation(*location, withPlace);
      })));
}

void WeatherDataSource::resolveNamedPlace(const std::string& name, TaskHandle search, PlaceCompletion done) {
  // The forecast geocoder reads town names only; a name with a region after a comma goes to the place search.
  if (name.find(',') != std::string::npos && deps_.qualifiedPlaceSearch) {
    return resolveQualifiedPlace(name, search, std::move(done));
  }
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
                       // "dover uk": a town and its region without a comma.
                       if (items.ok() && !regionQualifier(name).empty() && deps_.qualifiedPlaceSearch) {
                         resolveQualifiedPlace(name, search, done);
                         return;
                       }
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

std::string WeatherDataSource::regionQualifier(std::string_view name) {
  const std::string text = intelligence::trimmed(name);
  if (const size_t comma = text.rfind(','); comma != std::string::npos) {
    return intelligence::lowercasePosix(intelligence::trimmed(std::string_view(text).substr(comma + 1)));
  }
  const size_t space = text.rfind(' ');
  if (space == std::string::npos) return {};
  return intelligence::lowercasePosix(std::string_view(text).substr(space + 1));
}

int WeatherDataSource::preferredItem(const std::vector<MapItem>& items, std::string_view region) {
  if (items.empty()) return -1;
  // Short forms people write after a town, and what addresses call them.
  static const std::vector<std::pair<std::string_view, std::string_view>> kAliases = {
      {"uk", "united kingdom"}, {"gb", "united kingdom"}, {"britain", "united kingdom"}, {"england", "england"},
      {"us", "united states"},  {"usa", "united states"}, {"america", "united states"}};
  std::vector<std::string> names = {std::string(region)};
  for (const auto& [shortForm, full] : kAliases) {
    if (region == shortForm) names.emplace_back(full);
  }
  for (size_t i = 0; i < items.size(); ++i) {
    const MapItem& item = items[i];
    const std::string address =
        intelligence::lowercasePosix(item.fullAddress.value_or("") + ", " + item.country.value_or(""));
    for (const std::string& n : names) {
      if (!n.empty() && intelligence::containsPhrase(address, n)) return static_cast<int>(i);
    }
  }
  return 0;
}

void WeatherDataSource::resolveQualifiedPlace(const std::string& name, TaskHandle search, PlaceCompletion done) {
  PlaceSearchRequest request;
  request.text = name;
  request.limit = 5;
  request.language = deps_.language;
  activeRequest_ = deps_.qualifiedPlaceSearch->search(
      request, onMain<Result<std::vector<MapItem>>>(
                   deps_.mainRunner, weak_.wrap([this, search, name, done](Result<std::vector<MapItem>> items) {
                     if (search.isCancelled()) return;
                     const int chosen = items.ok() ? preferredItem(items.value(), regionQualifier(name)) : -1;
                     if (chosen < 0) {
                       logger_.info("Place search found nothing for \"%s\"%s", name.c_str(),
                                    items.ok() ? "" : (": " + items.error().description()).c_str());
                       done(std::nullopt);
                       return;
                     }
                     const MapItem& item = items.value()[static_cast<size_t>(chosen)];
                     WeatherSnapshot::Location place{item.name, std::nullopt, item.coordinate, item.timeZone};
                     // "Portland, Cumberland County, Maine, United States": the region is what follows the name.
                     if (item.fullAddress) {
                       const size_t comma = item.fullAddress->find(", ");
                       if (comma != std::string::npos) place.detail = item.fullAddress->substr(comma + 2);
                     }
                     if (!place.detail) place.detail = item.country;
                     done(place);
                   })));
}

void WeatherDataSource::nameLocation(const Location& location, PlaceCompletion done) {
  const LocationCoordinate coordinate = location.coordinate;
  WeatherSnapshot::Location unnamed{WeatherQueryIntent::kCurrentLocation, std::nullopt, coordinate, std::nullopt};
  cancelPendingReverseGeocoding();
  if (location.placeName && !location.placeName->empty()) {
    unnamed.name = *location.placeName;
    return done(unnamed);
  }
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
        nameLocation(*location, weak_.wrap([this, request, completion](std::optional<WeatherSnapshot::Location> place) {
          if (!place) {
            completion(std::nullopt);
            return;
          }
          fetchAt(request, *place, TaskHandle(), completion);
        }));
      })));
}

}  // namespace pallix
