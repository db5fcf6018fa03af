#include "app/intelligence/AmbientIntelligenceService.h"

#include <algorithm>
#include <array>

#include "app/intelligence/IntelligenceText.h"

namespace pallix {

namespace {

using Id = VCRDataSourceIdentifier;

constexpr std::array<std::string_view, 10> kPrecipitationSymbols = {
    "cloud.rain", "cloud.heavyrain", "cloud.drizzle",   "cloud.sleet",      "cloud.hail",
    "cloud.snow", "cloud.bolt",      "cloud.bolt.rain", "cloud.sleet.fill", "cloud.hail.fill"};
constexpr std::array<std::string_view, 6> kFreezingWords = {"snow", "freezing", "icy", "ice", "hail", "sleet"};
constexpr std::array<std::string_view, 10> kPrecipitationWords = {
    "rain", "drizzle", "shower", "snow", "sleet", "hail", "storm", "thunderstorm", "flurries", "precipitation"};

}  // namespace

AmbientIntelligenceService::AmbientIntelligenceService(Dependencies dependencies) : deps_(std::move(dependencies)) {}

AmbientIntelligenceService::~AmbientIntelligenceService() {
  calendarTask_.cancel();
  cancelWeatherTasks();
  eventLocationTask_.cancel();
}

bool AmbientIntelligenceService::sourceEnabled(Id identifier, bool present) const {
  return present && (!deps_.switches || deps_.switches->isEnabled(identifier));
}

uint64_t AmbientIntelligenceService::makeStream(HighlightsObserver observer) {
  uint64_t token = nextObserverToken_++;
  if (observer) observer(highlights_);
  observers_[token] = std::move(observer);
  return token;
}

void AmbientIntelligenceService::removeObserver(uint64_t token) {
  observers_.erase(token);
}

void AmbientIntelligenceService::notify() {
  auto copy = observers_;
  for (auto& [token, observer] : copy) {
    if (observer) observer(highlights_);
  }
}

void AmbientIntelligenceService::setWorkMode(WorkMode mode) {
  if (!deps_.keepsHighlights) return;
  logger_.info("AmbientIntelligenceService work mode: %s", workModeName(mode));
  if (mode == WorkMode::deepIdle) {
    isPaused_ = true;
    cancelWeatherTasks();
    return;
  }
  isPaused_ = false;
  startWeatherLoopIfNeeded();
}

void AmbientIntelligenceService::refreshUpcomingCalendarEvents() {
  calendarTask_.cancel();
  if (!deps_.keepsHighlights) return;
  auto source = deps_.calendarSource;
  if (!sourceEnabled(Id::calendar, source != nullptr) ||
      source->authorizationStatus() != PermissionStatus::authorized) {
    if (!highlights_.upcomingEvents.empty()) {
      highlights_.upcomingEvents.clear();
      refreshEventLocationHighlights(std::nullopt);
      notify();
    }
    return;
  }
  TaskHandle handle = TaskHandle::make();
  calendarTask_ = handle;
  auto main = deps_.mainRunner;
  source->upcomingEvents(
      kAmbientCalendarLookahead, 1,
      [main, handle, apply = weak_.wrap([this, handle](std::vector<CalendarSearchResult> events) {
        if (handle.isCancelled()) return;
        const Date now = deps_.mainRunner->clock().wallNow();
        const Date limit =
            now + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(kAmbientCalendarLookahead));
        std::erase_if(events, [&](const CalendarSearchResult& e) { return e.startDate > limit || e.endDate < now; });
        if (events.size() > 1) events.resize(1);
        std::optional<CalendarSearchResult> oldFirst;
        if (!highlights_.upcomingEvents.empty()) oldFirst = highlights_.upcomingEvents.front();
        std::optional<CalendarSearchResult> newFirst;
        if (!events.empty()) newFirst = events.front();
        bool changed = events != highlights_.upcomingEvents;
        highlights_.upcomingEvents = std::move(events);
        if (oldFirst != newFirst) refreshEventLocationHighlights(newFirst);
        if (changed) notify();
      })](std::vector<CalendarSearchResult> events) mutable {
        main->post([apply, events = std::move(events)]() mutable { apply(std::move(events)); });
      });
}

void AmbientIntelligenceService::cancelWeatherTasks() {
  weatherLoopTask_.cancel();
  weatherFetchTask_.cancel();
  weatherLoopTask_ = TaskHandle();
  weatherFetchTask_ = TaskHandle();
}

void AmbientIntelligenceService::refreshAmbientWeather(bool force) {
  if (isPaused_ || !deps_.keepsHighlights) return;
  if (!sourceEnabled(Id::weather, deps_.weatherSource != nullptr)) {
    cancelWeatherTasks();
    if (highlights_.weatherSnapshot) {
      highlights_.weatherSnapshot.reset();
      notify();
    }
    return;
  }
  if ((deps_.needsLocationAuthorization && deps_.needsLocationAuthorization()) ||
      (deps_.locationServicesEnabled && !deps_.locationServicesEnabled())) {
    return;
  }
  startWeatherLoopIfNeeded();
  // Unforced refreshes reuse a fetch already in flight.
  if (force || (!highlights_.weatherSnapshot && !isWeatherFetchRunning())) fetchAmbientWeather();
}

void AmbientIntelligenceService::startWeatherLoopIfNeeded() {
  if (isPaused_ || !deps_.keepsHighlights || isWeatherLoopRunning()) return;
  if (!sourceEnabled(Id::weather, deps_.weatherSource != nullptr)) return;
  TaskHandle handle = TaskHandle::make();
  weatherLoopTask_ = handle;
  auto tick = std::make_shared<std::function<void()>>();
  std::weak_ptr<std::function<void()>> weakTick = tick;
  *tick = weak_.wrap([this, handle, weakTick] {
    if (handle.isCancelled()) return;
    refreshAmbientWeather(true);
    if (auto next = weakTick.lock(); next && !handle.isCancelled()) {
      deps_.mainRunner->postDelayedWithHandle(seconds(kAmbientWeatherUpdateInterval), handle, [next] { (*next)(); });
    }
  });
  deps_.mainRunner->postDelayedWithHandle(seconds(kAmbientWeatherUpdateInterval), handle, [tick] { (*tick)(); });
}

void AmbientIntelligenceService::fetchAmbientWeather() {
  weatherFetchTask_.cancel();
  TaskHandle handle = TaskHandle::make();
  weatherFetchTask_ = handle;
  auto main = deps_.mainRunner;
  auto apply = weak_.wrap([this, handle](std::optional<WeatherSnapshot> snapshot) {
    if (handle.isCancelled()) return;
    weatherFetchTask_ = TaskHandle();
    if (!snapshot) return;
    highlights_.weatherSnapshot = std::move(snapshot);
    notify();
  });
  deps_.weatherSource->fetchWeather(std::nullopt, [main, apply](std::optional<WeatherSnapshot> snapshot) mutable {
    main->post([apply, snapshot = std::move(snapshot)]() mutable { apply(std::move(snapshot)); });
  });
}

void AmbientIntelligenceService::resolveEventPlace(
    const CalendarSearchResult& event,
    std::function<void(std::vector<MapSearchResult>, std::optional<LocationCoordinate>)> done, TaskHandle handle) {
  if (auto coordinate = event.structuredCoordinate()) {
    done({}, coordinate);
    return;
  }
  auto maps = deps_.mapSource;
  if (!event.location || intelligence::trimmed(*event.location).empty() || !sourceEnabled(Id::maps, maps != nullptr)) {
    done({}, std::nullopt);
    return;
  }
  auto main = deps_.mainRunner;
  maps->searchPlaces(*event.location, [main, handle, done](std::vector<MapSearchResult> results) {
    main->post([handle, done, results = std::move(results)] {
      if (handle.isCancelled()) return;
      std::optional<LocationCoordinate> coordinate;
      if (!results.empty()) coordinate = results.front().mapItem.coordinate;
      done(results, coordinate);
    });
  });
}

void AmbientIntelligenceService::fetchCalendarLocationHighlights(
    const CalendarSearchResult& event, std::function<void(std::optional<CalendarLocationHighlights>)> completion) {
  TaskHandle handle = TaskHandle::make();
  auto weather = sourceEnabled(Id::weather, deps_.weatherSource != nullptr) ? deps_.weatherSource : nullptr;
  auto main = deps_.mainRunner;
  resolveEventPlace(
      event,
      [main, weather, completion](std::vector<MapSearchResult> results, std::optional<LocationCoordinate> coordinate) {
        if (!coordinate && results.empty()) {
          completion(std::nullopt);
          return;
        }
        if (!coordinate || !weather) {
          completion(CalendarLocationHighlights{std::move(results), std::nullopt});
          return;
        }
        weather->fetchWeather(coordinate, [main, completion, results](std::optional<WeatherSnapshot> snapshot) {
          main->post([completion, results, snapshot] { completion(CalendarLocationHighlights{results, snapshot}); });
        });
      },
      handle);
}

void AmbientIntelligenceService::refreshEventLocationHighlights(const std::optional<CalendarSearchResult>& event) {
  eventLocationTask_.cancel();
  bool hasPlace =
      event && (event->structuredCoordinate() || (event->location && !intelligence::trimmed(*event->location).empty()));
  if (!hasPlace) {
    if (highlights_.eventWeatherSnapshot || !highlights_.eventMapResults.empty()) {
      highlights_.eventWeatherSnapshot.reset();
      highlights_.eventMapResults.clear();
      notify();
    }
    return;
  }
  TaskHandle handle = TaskHandle::make();
  eventLocationTask_ = handle;
  fetchCalendarLocationHighlights(*event, weak_.wrap([this, handle](std::optional<CalendarLocationHighlights> found) {
    if (handle.isCancelled()) return;
    highlights_.eventMapResults = found ? found->mapResults : std::vector<MapSearchResult>{};
    highlights_.eventWeatherSnapshot = found ? found->weatherSnapshot : std::nullopt;
    notify();
  }));
}

void AmbientIntelligenceService::handleDataSourcePreferencesChange() {
  refreshUpcomingCalendarEvents();
  refreshAmbientWeather(false);
}

bool AmbientIntelligenceService::isPrecipitationSymbol(std::string_view symbolName) {
  return std::find(kPrecipitationSymbols.begin(), kPrecipitationSymbols.end(), symbolName) !=
         kPrecipitationSymbols.end();
}

bool AmbientIntelligenceService::conditionNamesPrecipitation(std::string_view conditionText) {
  const std::string folded = intelligence::foldAndLowercase(conditionText);
  return std::any_of(kPrecipitationWords.begin(), kPrecipitationWords.end(),
                     [&](std::string_view word) { return folded.find(word) != std::string::npos; });
}

bool AmbientIntelligenceService::hasPrecipitationSoon(const WeatherSnapshot& snapshot, Date now) {
  if (snapshot.current && (isPrecipitationSymbol(snapshot.current->symbolName) ||
                           conditionNamesPrecipitation(snapshot.current->condition))) {
    return true;
  }
  const Date end = now + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(kPrecipitationWindow));
  for (const auto& hour : snapshot.hourly) {
    // An hourly entry covers the hour that starts at its date.
    if (hour.date + std::chrono::hours(1) <= now || hour.date > end) continue;
    if (hour.precipitationChance.value_or(0) >= kPrecipitationChanceThreshold || isPrecipitationSymbol(hour.symbolName))
      return true;
  }
  for (const auto& minute : snapshot.minute) {
    if (minute.date < now || minute.date > end) continue;
    if (minute.precipitationIntensity > 0) return true;
  }
  return false;
}

bool AmbientIntelligenceService::isFreezing(const WeatherSnapshot& snapshot) {
  if (!snapshot.current) return false;
  const std::string folded = intelligence::foldAndLowercase(snapshot.current->condition);
  bool named = std::any_of(kFreezingWords.begin(), kFreezingWords.end(),
                           [&](std::string_view word) { return folded.find(word) != std::string::npos; });
  return named || snapshot.current->temperature <= 0.0;
}

}  // namespace pallix
