// AmbientIntelligenceService: keeps the panel's "ambient" highlights fresh
// while no query is active: the next upcoming calendar event (within an
// hour), the local weather (refreshed every 50 minutes) and the map results
// and weather at that event's place. Owned by the intelligence coordinator,
// which shares its calendar, weather and map sources with it.
//
// Threading: main runner only; source answers hop back to it. One task per
// kind (calendar, weather loop, weather fetch, event location) is held at a
// time; starting a new one cancels the previous.
//
// The precipitation and freezing rules decide which weather is worth
// highlighting. One-shot commands build it with `keepsHighlights` off: it
// then never fetches anything by itself (no calendar read, no location
// forecast) and only answers fetchCalendarLocationHighlights().
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/intelligence/IntelligenceTypes.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"
#include "core/WorkMode.h"

namespace pallix {

struct Highlights {
  std::vector<CalendarSearchResult> upcomingEvents;
  std::optional<WeatherSnapshot> weatherSnapshot;
  std::optional<WeatherSnapshot> eventWeatherSnapshot;
  std::vector<MapSearchResult> eventMapResults;
  friend bool operator==(const Highlights&, const Highlights&) = default;
};

struct CalendarLocationHighlights {
  std::vector<MapSearchResult> mapResults;
  std::optional<WeatherSnapshot> weatherSnapshot;
  friend bool operator==(const CalendarLocationHighlights&, const CalendarLocationHighlights&) = default;
};

// Receives highlights; keep the token to stop observing.
using HighlightsObserver = std::function<void(const Highlights&)>;

class AmbientIntelligenceService {
 public:
  static constexpr double kAmbientCalendarLookahead = 3600;      // seconds
  static constexpr double kAmbientWeatherUpdateInterval = 3000;  // seconds
  static constexpr double kPrecipitationWindow = 3600;           // seconds
  static constexpr double kPrecipitationChanceThreshold = 0.3;

  struct Dependencies {
    TaskRunnerPtr mainRunner;
    std::shared_ptr<CalendarSource> calendarSource;  // each may be null: source absent
    std::shared_ptr<WeatherSource> weatherSource;
    std::shared_ptr<MapSource> mapSource;
    std::shared_ptr<const DataSourceSwitches> switches;
    std::function<bool()> needsLocationAuthorization;
    std::function<bool()> locationServicesEnabled;
    bool keepsHighlights = true;
  };

  explicit AmbientIntelligenceService(Dependencies dependencies);
  ~AmbientIntelligenceService();
  AmbientIntelligenceService(const AmbientIntelligenceService&) = delete;
  AmbientIntelligenceService& operator=(const AmbientIntelligenceService&) = delete;

  // Registers an observer; it receives the current highlights at once.
  uint64_t makeStream(HighlightsObserver observer);
  void removeObserver(uint64_t token);

  void setWorkMode(WorkMode mode);
  void refreshUpcomingCalendarEvents();
  void refreshAmbientWeather(bool force);
  void refreshEventLocationHighlights(const std::optional<CalendarSearchResult>& event);
  void fetchCalendarLocationHighlights(const CalendarSearchResult& event,
                                       std::function<void(std::optional<CalendarLocationHighlights>)> completion);
  // Cancels the work of sources switched off and refreshes the rest.
  void handleDataSourcePreferencesChange();

  const Highlights& highlights() const { return highlights_; }
  bool isPaused() const { return isPaused_; }
  bool isWeatherLoopRunning() const { return weatherLoopTask_.valid() && !weatherLoopTask_.isCancelled(); }
  bool isWeatherFetchRunning() const { return weatherFetchTask_.valid() && !weatherFetchTask_.isCancelled(); }

  // Rules for highlighting a weather snapshot, relative to `now`.
  static bool isPrecipitationSymbol(std::string_view symbolName);
  static bool conditionNamesPrecipitation(std::string_view conditionText);
  static bool hasPrecipitationSoon(const WeatherSnapshot& snapshot, Date now);
  static bool isFreezing(const WeatherSnapshot& snapshot);

 private:
  bool sourceEnabled(VCRDataSourceIdentifier identifier, bool present) const;
  void notify();
  void cancelWeatherTasks();
  void startWeatherLoopIfNeeded();
  void fetchAmbientWeather();
  void resolveEventPlace(const CalendarSearchResult& event,
                         std::function<void(std::vector<MapSearchResult>, std::optional<LocationCoordinate>)> done,
                         TaskHandle handle);

  Dependencies deps_;
  Logger logger_{"AmbientIntelligenceService"};
  std::map<uint64_t, HighlightsObserver> observers_;
  uint64_t nextObserverToken_ = 1;
  Highlights highlights_;
  TaskHandle calendarTask_;
  TaskHandle weatherLoopTask_;
  TaskHandle weatherFetchTask_;
  TaskHandle eventLocationTask_;
  bool isPaused_ = false;
  WeakGuard weak_;
};

}  // namespace pallix
