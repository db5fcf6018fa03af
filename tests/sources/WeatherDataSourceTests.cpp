// The weather source over the Open-Meteo service, the Open-Meteo geocoder
// and Nominatim reverse geocoding, answered by hand-written replies in
// virtual time; and the forecast parsing on its own.
#include "app/intelligence/AmbientIntelligenceService.h"
#include "app/platform/NominatimPlaceSearch.h"
#include "app/platform/OpenMeteoGeocoder.h"
#include "app/platform/OpenMeteoWeatherService.h"
#include "app/sources/WeatherDataSource.h"
#include "tests/sources/SourcesTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace testing_support;
using Kind = WeatherDataKind;

constexpr const char* kBase = "http://127.0.0.1:9";

class WeatherDataSourceTest : public SourcesFixture {
 protected:
  void SetUp() override {
    SourcesFixture::SetUp();
    route(*http, {ok("/v1/search?name=Paris", sourceFixture("open-meteo-geocoding-paris.json")),
                  ok("/v1/search?name=", sourceFixture("open-meteo-geocoding-none.json")),
                  ok("/v1/forecast", sourceFixture("open-meteo-forecast.json")),
                  ok("/reverse", sourceFixture("nominatim-reverse.json"))});
    weather.setCurrentLocationProvider([this](LocationCompletion done) {
      ++locationRequests;
      done(here);
    });
  }
  std::optional<WeatherSnapshot> search(const std::string& query) {
    std::optional<WeatherDataSource::SearchResult> result;
    weather.search(query, [&](WeatherDataSource::SearchResult r) { result = std::move(r); });
    settle();
    EXPECT_TRUE(result) << query;
    return result ? result->snapshot : std::nullopt;
  }
  size_t requestsTo(const std::string& path) const {
    size_t n = 0;
    for (const auto& url : http->urls()) n += url.find(path) != std::string::npos;
    return n;
  }

  std::shared_ptr<WeatherService> service = std::make_shared<OpenMeteoWeatherService>(http, kBase);
  std::shared_ptr<PlaceSearch> geocoder = std::make_shared<OpenMeteoGeocoder>(http, kBase);
  std::shared_ptr<PlaceSearch> reverse =
      std::make_shared<NominatimPlaceSearch>(http, kBase, "Pallix-test", env.mainRunner());
  WeatherDataSource weather{{service, geocoder, reverse, env.mainRunner(), "Europe/Paris", "en"}};
  std::optional<Location> here = Location{{45.7578, 4.832}, utc(2026, 3, 11, 9, 59), 65};
  int locationRequests = 0;
};

// A named place resolves through the place search without location; the
// focus decides the kinds asked for, and the hours start now.
TEST_F(WeatherDataSourceTest, NamedPlaceResolvesWithoutLocationAndTheFocusDecidesTheKinds) {
  auto snapshot = search("weather in paris");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->location.name, "Paris");
  EXPECT_EQ(snapshot->location.detail, "Île-de-France, France");
  EXPECT_EQ(snapshot->location.timeZone, "Europe/Paris");
  EXPECT_EQ(snapshot->location.coordinate, (LocationCoordinate{48.85341, 2.3488}));
  EXPECT_EQ(locationRequests, 0);
  EXPECT_EQ(requestsTo("/reverse"), 0u);
  ASSERT_TRUE(snapshot->current);
  EXPECT_EQ(snapshot->current->condition, "Light Rain");
  EXPECT_EQ(snapshot->current->symbolName, "cloud.rain");
  EXPECT_EQ(snapshot->current->highTemperature, 13.1) << "today's high comes from the daily forecast";
  EXPECT_EQ(snapshot->current->lowTemperature, 5.2);
  EXPECT_TRUE(snapshot->hourly.empty()) << "the current focus asks for no hours";
  EXPECT_EQ(snapshot->daily.size(), 3u);

  const std::vector<std::pair<WeatherForecastFocus, std::set<Kind>>> table = {
      {WeatherForecastFocus::current, {Kind::current, Kind::daily}},
      {WeatherForecastFocus::nextHour, {Kind::current, Kind::hourly}},
      {WeatherForecastFocus::today, {Kind::current, Kind::hourly, Kind::daily}},
      {WeatherForecastFocus::tonight, {Kind::current, Kind::hourly, Kind::daily}},
      {WeatherForecastFocus::tomorrow, {Kind::daily}},
      {WeatherForecastFocus::day, {Kind::daily}},
      {WeatherForecastFocus::weekend, {Kind::daily}}};
  for (const auto& [focus, kinds] : table) EXPECT_EQ(WeatherDataSource::requestedKinds(focus), kinds);

  auto today = search("weather in paris today");
  ASSERT_TRUE(today);
  EXPECT_EQ(today->focus, WeatherForecastFocus::today);
  ASSERT_EQ(today->hourly.size(), static_cast<size_t>(WeatherDataSource::kHourlyLimit));
  EXPECT_EQ(today->hourly.front().date, utc(2026, 3, 11, 10)) << "hours already over are dropped";
  EXPECT_EQ(today->hourly.front().precipitationChance, 0.6);

  auto tomorrow = search("weather in paris tomorrow");
  ASSERT_TRUE(tomorrow);
  EXPECT_FALSE(tomorrow->current);
  EXPECT_EQ(tomorrow->daily.size(), 3u);
}

// Asked in the morning (11:00 in Paris), a later time of the day shows the
// hours around it, and a later day shows that day alone.
TEST_F(WeatherDataSourceTest, ALaterTimeShowsTheHoursAndDaysAroundIt) {
  auto tonight = search("weather in paris tonight");
  ASSERT_TRUE(tonight);
  EXPECT_EQ(tonight->focus, WeatherForecastFocus::tonight);
  ASSERT_FALSE(tonight->hourly.empty());
  EXPECT_EQ(tonight->hourly.front().date, utc(2026, 3, 11, 19)) << "20:00 in Paris";
  EXPECT_EQ(tonight->hourly.size(), static_cast<size_t>(WeatherDataSource::kHoursAroundFocus));
  EXPECT_TRUE(tonight->current) << "the conditions now still come with it";

  auto evening = search("weather in paris this evening");
  ASSERT_TRUE(evening);
  EXPECT_EQ(evening->hourly.front().date, utc(2026, 3, 11, 17)) << "18:00 in Paris";

  auto atNine = search("weather in paris at 9pm");
  ASSERT_TRUE(atNine);
  EXPECT_EQ(atNine->focus, WeatherForecastFocus::tonight);
  ASSERT_FALSE(atNine->hourly.empty());
  EXPECT_EQ(atNine->hourly.front().date, utc(2026, 3, 11, 18)) << "from 19:00, two hours before nine";
  EXPECT_EQ(atNine->focusStart, utc(2026, 3, 11, 20));

  auto soon = search("weather in paris at 1pm");
  ASSERT_TRUE(soon);
  EXPECT_EQ(soon->hourly.front().date, utc(2026, 3, 11, 10)) << "the hour in progress is the earliest one";

  auto friday = search("weather in paris on friday");
  ASSERT_TRUE(friday);
  EXPECT_EQ(friday->focus, WeatherForecastFocus::day);
  EXPECT_EQ(friday->requestedKinds, std::set<Kind>{Kind::daily});
  ASSERT_EQ(friday->daily.size(), 1u);
  EXPECT_EQ(friday->daily.front().date, utc(2026, 3, 12, 23)) << "Friday, midnight in Paris";
  EXPECT_NE(http->urls().back().find("forecast_days=8"), std::string::npos) << http->urls().back();
}

// The days kept for a span are those it mostly covers, though the place's
// days begin hours away from the asker's.
TEST(WeatherSnapshotTest, AWeekendKeepsItsTwoDays) {
  WeatherServiceResult data;
  for (int day = 11; day <= 17; ++day) {
    DayForecast d;
    d.date = utc(2026, 3, day) - std::chrono::hours(9);  // midnight in Tokyo
    d.highTemperature = day;
    data.daily.push_back(d);
  }
  WeatherLookupRequest request;
  request.requestedKinds = {Kind::daily};
  request.dailyLimit = 8;
  request.focus = WeatherForecastFocus::weekend;
  request.focusStart = utc(2026, 3, 14);  // Saturday, midnight UTC
  request.focusEnd = utc(2026, 3, 16);
  auto snapshot = WeatherDataSource::makeSnapshot(request, {}, data);
  ASSERT_EQ(snapshot.daily.size(), 2u);
  EXPECT_EQ(snapshot.daily[0].highTemperature, 14);
  EXPECT_EQ(snapshot.daily[1].highTemperature, 15);

  request.focus = WeatherForecastFocus::day;
  request.focusStart = utc(2026, 3, 13, 20);  // "friday at 8pm": a point
  request.focusEnd = request.focusStart;
  snapshot = WeatherDataSource::makeSnapshot(request, {}, data);
  ASSERT_EQ(snapshot.daily.size(), 1u);
  EXPECT_EQ(snapshot.daily[0].highTemperature, 14) << "8 pm UTC is already Saturday in Tokyo";
}

// The forecast geocoder reads town names only: a town with its region goes
// to the place search, and the result in the named region wins over the
// better-known town of the same name.
TEST_F(WeatherDataSourceTest, ATownWithItsRegionIsFoundInThatRegion) {
  route(*http, {ok("/search?q=portland", sourceFixture("nominatim-search-portland.json")),
                ok("/search?q=dover", sourceFixture("nominatim-search-dover.json")),
                ok("/v1/search?name=", sourceFixture("open-meteo-geocoding-none.json")),
                ok("/v1/forecast", sourceFixture("open-meteo-forecast.json"))});
  WeatherDataSource::Dependencies deps{service, geocoder, reverse, env.mainRunner(), "Europe/Paris", "en"};
  deps.qualifiedPlaceSearch = reverse;
  WeatherDataSource regional(std::move(deps));
  auto find = [&](const std::string& query) {
    std::optional<WeatherDataSource::SearchResult> result;
    regional.search(query, [&](WeatherDataSource::SearchResult r) { result = std::move(r); });
    settle();
    return result ? result->snapshot : std::nullopt;
  };

  auto maine = find("weather in Portland, Maine");
  ASSERT_TRUE(maine);
  EXPECT_EQ(maine->location.name, "Portland");
  EXPECT_EQ(maine->location.coordinate, (LocationCoordinate{43.6573605, -70.2586618}));
  EXPECT_EQ(maine->location.detail, "Cumberland County, Maine, United States");
  EXPECT_EQ(requestsTo("/v1/search"), 0u) << "a comma sends the name to the place search at once";
  EXPECT_EQ(requestsTo("/search?q=portland%2C%20maine"), 1u);

  auto dover = find("dover uk weather tomorrow");
  ASSERT_TRUE(dover);
  EXPECT_EQ(dover->location.coordinate, (LocationCoordinate{51.1251, 1.3134})) << "UK: the United Kingdom";
  EXPECT_EQ(requestsTo("/v1/search?name=dover%20uk"), 1u) << "the geocoder is asked first";

  auto oregon = find("weather in portland, oregon");
  ASSERT_TRUE(oregon);
  EXPECT_EQ(oregon->location.coordinate, (LocationCoordinate{45.5202471, -122.674194}));
  // No result in the region named: the first one.
  auto somewhere = find("weather in portland, atlantis");
  ASSERT_TRUE(somewhere);
  EXPECT_EQ(somewhere->location.coordinate, (LocationCoordinate{45.5202471, -122.674194}));

  EXPECT_EQ(WeatherDataSource::regionQualifier("portland, maine"), "maine");
  EXPECT_EQ(WeatherDataSource::regionQualifier("dover UK"), "uk");
  EXPECT_EQ(WeatherDataSource::regionQualifier("lyon"), "");
}

TEST_F(WeatherDataSourceTest, CurrentLocationIsNamedByReverseGeocoding) {
  auto snapshot = search("weather");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(locationRequests, 1);
  EXPECT_EQ(snapshot->location.name, "Lyon");
  EXPECT_EQ(snapshot->location.coordinate, here->coordinate);
  ASSERT_EQ(requestsTo("/reverse?lat=45.75780&lon=4.83200"), 1u);
  EXPECT_EQ(requestsTo("/v1/forecast?latitude=45.7578&longitude=4.8320"), 1u);

  route(*http, {ok("/v1/forecast", sourceFixture("open-meteo-forecast.json")),
                ok("/reverse", sourceFixture("nominatim-reverse-error.json"))});
  here->coordinate = {10, 10};
  auto unnamed = search("weather");
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->location.name, WeatherQueryIntent::kCurrentLocation);
}

TEST_F(WeatherDataSourceTest, NothingToShowGivesAnEmptyResult) {
  here.reset();
  EXPECT_FALSE(search("weather")) << "no coordinate";
  EXPECT_FALSE(search("weather in atlantis")) << "no place";
  EXPECT_FALSE(search("spotify")) << "no intent";
  route(*http, {ok("/v1/search", sourceFixture("open-meteo-geocoding-paris.json")), status("/v1/forecast", 500)});
  EXPECT_FALSE(search("weather in paris")) << "the forecast failed";
  EXPECT_FALSE(OpenMeteoGeocoder::parseResults("{\"results\": [").ok()) << "a malformed place answer is no empty one";
}

TEST_F(WeatherDataSourceTest, SupersededQueryCancelsItsReverseGeocoding) {
  route(*http, {silent("/reverse"), ok("/v1/search", sourceFixture("open-meteo-geocoding-paris.json")),
                ok("/v1/forecast", sourceFixture("open-meteo-forecast.json"))});
  int oldAnswers = 0;
  weather.search("weather", [&](WeatherDataSource::SearchResult) { ++oldAnswers; });
  env.advanceBy(std::chrono::seconds(2));
  ASSERT_EQ(http->pendingCount(), 1u) << "reverse geocoding in flight";
  std::optional<WeatherSnapshot> paris;
  weather.search("weather in paris", [&](WeatherDataSource::SearchResult r) { paris = r.snapshot; });
  settle();
  EXPECT_EQ(http->pendingCount(), 0u) << "the old reverse geocoding was cancelled";
  EXPECT_EQ(oldAnswers, 0);
  ASSERT_TRUE(paris);
  EXPECT_EQ(paris->location.name, "Paris");
}

TEST(OpenMeteoForecastTest, MissingFieldsAndBadAnswers) {
  WeatherServiceRequest request;
  request.kinds = {Kind::current, Kind::hourly, Kind::daily, Kind::minute};
  request.hourlyLimit = 48;
  auto full = OpenMeteoWeatherService::parseForecast(sourceFixture("open-meteo-forecast.json"), request);
  ASSERT_TRUE(full.ok());
  EXPECT_EQ(full->timeZone, "Europe/Paris");
  ASSERT_TRUE(full->current);
  EXPECT_EQ(full->current->humidity, 0.81);
  EXPECT_EQ(full->current->uvIndex, 2);
  EXPECT_EQ(full->current->wind, (WindSummary{14.8, 31.0, "SW"}));
  EXPECT_EQ(full->hourly.size(), 37u) << "from the current hour to the end of the answer";
  ASSERT_EQ(full->minute.size(), 4u) << "an hour of quarter hours";
  EXPECT_DOUBLE_EQ(full->minute[1].precipitationIntensity, 1.2) << "0.3 mm in 15 minutes is 1.2 mm/h";

  auto partial =
      OpenMeteoWeatherService::parseForecast(sourceFixture("open-meteo-forecast-missing-fields.json"), request);
  ASSERT_TRUE(partial.ok());
  EXPECT_FALSE(partial->current) << "no temperature, no current conditions";
  EXPECT_EQ(partial->hourly.size(), 1u) << "hours over and hours without a temperature are left out";
  EXPECT_EQ(partial->hourly.front().precipitationChance, std::nullopt);
  EXPECT_TRUE(partial->daily.empty());

  for (const char* bad : {"", "[]", "{\"current\": ", "null"}) {
    EXPECT_FALSE(OpenMeteoWeatherService::parseForecast(bad, request).ok()) << bad;
  }
  auto refused =
      OpenMeteoWeatherService::parseForecast(R"({"error":true,"reason":"Latitude must be in range"})", request);
  ASSERT_TRUE(testing::failsWith(refused, "Latitude must be in range"));
}

// Every WMO code of falling water or ice gives a symbol the ambient highlights count as precipitation; the others never
// do.
TEST(OpenMeteoForecastTest, PrecipitationCodesGivePrecipitationSymbols) {
  for (int code = 0; code < 100; ++code) {
    const bool falling = (code >= 51 && code <= 67) || (code >= 71 && code <= 86) || code >= 95;
    for (bool day : {true, false}) {
      const WeatherCondition c = OpenMeteoWeatherService::condition(code, day);
      if (c.text == "Unknown") continue;
      EXPECT_EQ(AmbientIntelligenceService::isPrecipitationSymbol(c.symbolName), falling) << code << " " << c.text;
    }
  }
}

}  // namespace
}  // namespace pallix
