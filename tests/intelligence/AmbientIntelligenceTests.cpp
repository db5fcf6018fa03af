// AmbientIntelligenceService with fake calendar, weather and map sources in
// virtual time: upcoming events, the weather loop, event-location highlights,
// work modes, and the precipitation and freezing rules.
#include <gtest/gtest.h>

#include "app/intelligence/AmbientIntelligenceService.h"
#include "testing/IntelligenceFakes.h"
#include "testing/VirtualTime.h"
#include "tests/intelligence/IntelligenceTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Id = VCRDataSourceIdentifier;

const Date kNow = utc(2026, 3, 11, 10);

class AmbientIntelligenceServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.clock().setWallNow(kNow);
    weather->fetchAnswer = [this](std::optional<LocationCoordinate> at) {
      WeatherSnapshot s;
      s.location.name = at ? "event place" : "here";
      s.current = CurrentWeather{};
      s.current->condition = "Clear";
      s.current->temperature = 12 + static_cast<double>(weather->fetches.size());
      return std::optional<WeatherSnapshot>(s);
    };
  }
  void create(bool keepsHighlights = true) {
    service = std::make_unique<AmbientIntelligenceService>(AmbientIntelligenceService::Dependencies{
        env.mainRunner(), calendar, weather, maps, switches, [this] { return needsAuthorization; },
        [this] { return servicesEnabled; }, keepsHighlights});
  }
  // Refreshes and lets every source answer.
  void refreshEvents() {
    service->refreshUpcomingCalendarEvents();
    env.fastForwardUntilNoTasksRemain(1min);
  }
  void refreshWeather(bool force) {
    service->refreshAmbientWeather(force);
    env.fastForwardUntilNoTasksRemain(1min);
  }
  CalendarSearchResult event(std::string title, Duration fromNow) {
    CalendarSearchResult e;
    e.identifier = title;
    e.title = std::move(title);
    e.startDate = kNow + fromNow;
    e.endDate = e.startDate + std::chrono::hours(1);
    return e;
  }

  VirtualTimeEnvironment env;
  TaskRunnerPtr sources = env.makeRunner("sources");
  std::shared_ptr<FakeCalendar> calendar = std::make_shared<FakeCalendar>(sources);
  std::shared_ptr<FakeWeather> weather = std::make_shared<FakeWeather>(sources);
  std::shared_ptr<FakeMaps> maps = std::make_shared<FakeMaps>(sources);
  std::shared_ptr<MutableDataSourceSwitches> switches = std::make_shared<MutableDataSourceSwitches>();
  bool needsAuthorization = false;
  bool servicesEnabled = true;
  std::unique_ptr<AmbientIntelligenceService> service;
};

// Events starting within the hour are upcoming, with calendar access and the switch on.
TEST_F(AmbientIntelligenceServiceTest, UpcomingEventsLookOneHourAhead) {
  calendar->events = {event("standup", 59min)};
  calendar->status = PermissionStatus::denied;
  create();
  std::vector<Highlights> seen;
  service->makeStream([&](const Highlights& h) { seen.push_back(h); });
  refreshEvents();
  EXPECT_EQ(calendar->upcomingRequests, 0);
  calendar->status = PermissionStatus::authorized;
  refreshEvents();
  EXPECT_DOUBLE_EQ(calendar->lastLookahead, 3600);
  EXPECT_EQ(calendar->lastLimit, 1);
  ASSERT_EQ(service->highlights().upcomingEvents.size(), 1u);
  EXPECT_EQ(seen.back().upcomingEvents.size(), 1u);

  calendar->events = {event("lunch", 61min)};
  refreshEvents();
  EXPECT_TRUE(service->highlights().upcomingEvents.empty()) << "an event 1 h 1 min away is not upcoming";
  calendar->events = {event("standup", 10min)};
  refreshEvents();
  ASSERT_EQ(service->highlights().upcomingEvents.size(), 1u);
  switches->set(Id::calendar, false);
  service->handleDataSourcePreferencesChange();
  EXPECT_TRUE(service->highlights().upcomingEvents.empty());
}

TEST_F(AmbientIntelligenceServiceTest, ObserversGetTheCurrentHighlightsAtOnceAndEveryChange) {
  create();
  std::vector<Highlights> first;
  std::vector<Highlights> second;
  service->makeStream([&](const Highlights& h) { first.push_back(h); });
  refreshWeather(true);
  ASSERT_TRUE(service->highlights().weatherSnapshot);
  auto token = service->makeStream([&](const Highlights& h) { second.push_back(h); });
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].weatherSnapshot, service->highlights().weatherSnapshot);
  service->removeObserver(token);
  const size_t firstBefore = first.size();
  refreshWeather(true);
  EXPECT_EQ(second.size(), 1u);
  EXPECT_EQ(first.size(), firstBefore + 1);

  // Switching weather off clears the highlight at once and stops the loop.
  switches->set(Id::weather, false);
  service->refreshAmbientWeather(false);
  EXPECT_FALSE(service->highlights().weatherSnapshot);
  EXPECT_FALSE(first.back().weatherSnapshot);
  EXPECT_FALSE(service->isWeatherLoopRunning());
}

// Never while location access or the location services are missing; then every fifty minutes.
TEST_F(AmbientIntelligenceServiceTest, WeatherRefreshesEveryFiftyMinutes) {
  needsAuthorization = true;
  create();
  service->refreshAmbientWeather(true);
  env.advanceBy(4000s);
  needsAuthorization = false;
  servicesEnabled = false;
  service->refreshAmbientWeather(true);
  env.advanceBy(4000s);
  EXPECT_TRUE(weather->fetches.empty());
  servicesEnabled = true;
  service->refreshAmbientWeather(false);
  env.runUntilIdle();
  EXPECT_EQ(weather->fetches.size(), 1u);
  service->refreshAmbientWeather(false);  // a snapshot is pending or held: no new fetch
  env.advanceBy(1s);
  EXPECT_EQ(weather->fetches.size(), 1u);
  env.advanceBy(2998s);
  EXPECT_EQ(weather->fetches.size(), 1u);
  env.advanceBy(2s);
  EXPECT_EQ(weather->fetches.size(), 2u);
  env.advanceBy(3000s);
  EXPECT_EQ(weather->fetches.size(), 3u);

  // Deep idle pauses the loop and any fetch; other modes resume it.
  service->setWorkMode(WorkMode::deepIdle);
  EXPECT_TRUE(service->isPaused());
  EXPECT_FALSE(service->isWeatherLoopRunning());
  EXPECT_FALSE(service->isWeatherFetchRunning());
  service->refreshAmbientWeather(true);
  env.advanceBy(10000s);
  EXPECT_EQ(weather->fetches.size(), 3u) << "paused: no fetch and no loop";
  service->setWorkMode(WorkMode::idle);
  EXPECT_FALSE(service->isPaused());
  EXPECT_TRUE(service->isWeatherLoopRunning());
  env.advanceBy(3000s);
  EXPECT_EQ(weather->fetches.size(), 4u);
}

// A one-shot command's service fetches nothing by itself, whatever wakes it,
// yet still answers a request for an event's place.
TEST_F(AmbientIntelligenceServiceTest, WithoutHighlightsNothingIsFetchedUnasked) {
  auto offsite = event("offsite", 30min);
  offsite.structuredLocationInfo = StructuredLocationInfo{"Salle Pleyel", 48.85, 2.35};
  calendar->events = {offsite};
  create(/*keepsHighlights=*/false);
  refreshEvents();
  refreshWeather(true);
  service->setWorkMode(WorkMode::active);
  service->handleDataSourcePreferencesChange();
  env.advanceBy(10000s);
  EXPECT_TRUE(weather->fetches.empty());
  EXPECT_EQ(calendar->upcomingRequests, 0);
  EXPECT_FALSE(service->isWeatherLoopRunning());

  std::optional<CalendarLocationHighlights> found;
  service->fetchCalendarLocationHighlights(offsite, [&](std::optional<CalendarLocationHighlights> h) { found = h; });
  env.fastForwardUntilNoTasksRemain(1min);
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->weatherSnapshot);
}

// An event's place gives its weather: the structured coordinate directly, a text location through maps.
TEST_F(AmbientIntelligenceServiceTest, EventLocationsGetTheirWeather) {
  auto offsite = event("offsite", 30min);
  offsite.structuredLocationInfo = StructuredLocationInfo{"Salle Pleyel", 48.85, 2.35};
  calendar->events = {offsite};
  create();
  refreshEvents();
  ASSERT_TRUE(service->highlights().eventWeatherSnapshot);
  EXPECT_EQ(service->highlights().eventWeatherSnapshot->location.name, "event place");
  EXPECT_EQ(weather->fetches, std::vector<std::optional<LocationCoordinate>>{offsite.structuredCoordinate()});
  EXPECT_TRUE(maps->placeSearches.empty());

  auto e = event("dinner", 45min);
  e.location = "Chez Paul, Paris";
  calendar->events = {e};
  maps->places = {
      MapSearchResult{MapItem{"Chez Paul", LocationCoordinate{48.85, 2.37}}, "Chez Paul", "13 rue de Charonne"}};
  refreshEvents();
  EXPECT_EQ(maps->placeSearches, std::vector<std::string>{"Chez Paul, Paris"});
  EXPECT_EQ(service->highlights().eventMapResults, maps->places);
  ASSERT_TRUE(service->highlights().eventWeatherSnapshot);
  EXPECT_EQ(weather->fetches.back(), (LocationCoordinate{48.85, 2.37}));

  // On demand, for any calendar result.
  std::optional<CalendarLocationHighlights> found;
  service->fetchCalendarLocationHighlights(e, [&](std::optional<CalendarLocationHighlights> h) { found = h; });
  env.fastForwardUntilNoTasksRemain(1min);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->mapResults, maps->places);
  EXPECT_TRUE(found->weatherSnapshot);

  // An event without a place yields nothing.
  std::optional<CalendarLocationHighlights> none = CalendarLocationHighlights{};
  service->fetchCalendarLocationHighlights(event("call", 5min),
                                           [&](std::optional<CalendarLocationHighlights> h) { none = h; });
  env.fastForwardUntilNoTasksRemain(1min);
  EXPECT_FALSE(none);
}

// ------------------------------------------------------------ precipitation and freezing

WeatherSnapshot dry() {
  WeatherSnapshot s;
  s.current = CurrentWeather{};
  s.current->condition = "Partly Cloudy";
  s.current->symbolName = "cloud.sun";
  s.current->temperature = 8;
  return s;
}

// A dry snapshot changed by `edit`.
template <typename Edit>
WeatherSnapshot dryWith(Edit edit) {
  WeatherSnapshot s = dry();
  edit(s);
  return s;
}

TEST(WeatherHighlightRulesTest, PrecipitationSoonFromChancesSymbolsConditionsAndMinutes) {
  auto at = [](double chance, Duration fromNow) {
    WeatherSnapshot s = dry();
    s.hourly = {HourForecast{kNow + fromNow, "cloud", 8, chance}};
    return AmbientIntelligenceService::hasPrecipitationSoon(s, kNow);
  };
  EXPECT_TRUE(at(0.30, 30min));
  EXPECT_FALSE(at(0.29, 30min));
  EXPECT_TRUE(at(0.5, 60min));
  EXPECT_FALSE(at(0.9, 61min)) << "beyond the next hour";
  EXPECT_TRUE(at(0.9, -30min)) << "the current hour's entry started earlier";
  EXPECT_FALSE(at(0.9, -61min));
  EXPECT_FALSE(AmbientIntelligenceService::hasPrecipitationSoon(dry(), kNow));
  // Symbols, conditions and minute forecasts.
  auto soon = [](const WeatherSnapshot& s) { return AmbientIntelligenceService::hasPrecipitationSoon(s, kNow); };
  EXPECT_TRUE(soon(dryWith([](auto& s) { s.current->symbolName = "cloud.drizzle"; })));
  EXPECT_TRUE(soon(dryWith([](auto& s) { s.current->condition = "Light Rain"; })));
  EXPECT_TRUE(soon(dryWith([](auto& s) { s.hourly = {HourForecast{kNow + 20min, "cloud.bolt.rain", 8, 0.0}}; })));
  EXPECT_TRUE(soon(dryWith([](auto& s) {
    s.minute = {MinuteForecast{kNow + 5min, 0.0}, MinuteForecast{kNow + 6min, 0.1}};
  })));
  EXPECT_FALSE(soon(dryWith([](auto& s) {
    s.minute = {MinuteForecast{kNow + 5min, 0.0}, MinuteForecast{kNow + 2h, 3.0}};
  })));
  // Symbols are matched whole.
  EXPECT_FALSE(AmbientIntelligenceService::isPrecipitationSymbol("cloud.rain.fill.extra"));
}

TEST(WeatherHighlightRulesTest, Freezing) {
  EXPECT_FALSE(AmbientIntelligenceService::isFreezing(dry()));
  for (const char* text : {"Snow", "Freezing Drizzle", "Icy", "Ice Pellets", "Hail", "Sleet"}) {
    EXPECT_TRUE(AmbientIntelligenceService::isFreezing(dryWith([&](auto& s) { s.current->condition = text; }))) << text;
  }
  EXPECT_TRUE(AmbientIntelligenceService::isFreezing(dryWith([](auto& s) { s.current->temperature = 0.0; })));
  EXPECT_FALSE(AmbientIntelligenceService::isFreezing(dryWith([](auto& s) { s.current->temperature = 0.1; })));
}

}  // namespace
}  // namespace pallix
