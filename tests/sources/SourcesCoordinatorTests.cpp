// The sources as the panel meets them: the source set over fake services,
// plugged into the real coordinator and panel store in virtual time. Remote
// answers stream in after the local ones, a silent server never holds the
// panel, location states decide weather, and the ambient highlights show the
// forecast at an upcoming event's place.
#include "app/intelligence/PanelIntelligenceStore.h"
#include "app/sources/IntelligenceSourceSet.h"
#include "testing/FakeCalendarStore.h"
#include "testing/FakeContactStore.h"
#include "testing/FakeDictionaryService.h"
#include "testing/FakeLocationService.h"
#include "testing/IntelligenceFakes.h"
#include "tests/sources/SourcesTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Id = VCRDataSourceIdentifier;
using State = WidgetContentState;

class SourcesCoordinatorTest : public SourcesFixture {
 protected:
  void SetUp() override {
    SourcesFixture::SetUp();
    for (const char* key : {OpenMeteoWeatherService::kBaseURLKey, OpenMeteoGeocoder::kBaseURLKey,
                            NominatimPlaceSearch::kBaseURLKey, WikipediaDataSource::kBaseURLKey}) {
      ASSERT_TRUE(defaults.set(key, "http://127.0.0.1:9").ok());
    }
    route(*http, {ok("/v1/search?name=Paris", sourceFixture("open-meteo-geocoding-paris.json")),
                  ok("/v1/forecast", sourceFixture("open-meteo-forecast.json")),
                  ok("/search?q=Chez", sourceFixture("nominatim-search-cafes.json")),
                  ok("/reverse", sourceFixture("nominatim-reverse.json")), silent("?q=")});
  }
  // Builds the set, the coordinator (router deciding `routes`) and the store.
  void create(std::set<DataSource> routes = {}) {
    router->decide = [routes](const std::string&) { return routes; };
    SourceServices services{http, calendarStore, dictionary, location, contactStore};
    IntelligenceSourceSet::Options options{env.mainRunner(), "Pallix-test", "UTC",
                                           [this](const std::string& name) { return env.makeRunner(name); }};
    set = std::make_unique<IntelligenceSourceSet>(services, defaults, options);
    IntelligenceCoordinator::Dependencies deps;
    deps.mainRunner = env.mainRunner();
    deps.routerRunner = env.makeRunner("router");
    deps.sources = set->sources();
    deps.sources.calculator = calculator;
    deps.locationProvider = set->locationProvider();
    deps.timeZoneId = "UTC";
    deps.routerFactory = [this](CancellationToken, RouterBuildCompletion done) {
      done(std::shared_ptr<QueryRouting>(router));
    };
    coordinator = std::make_shared<IntelligenceCoordinator>(deps);
    store = std::make_shared<PanelIntelligenceStore>(env.mainRunner(), calculator);
    store->configure(coordinator, nullptr);
    env.runUntilIdle();
  }
  void TearDown() override {
    store.reset();
    coordinator.reset();
    set.reset();
    env.runUntilIdle();
  }

  UserDefaults defaults;
  std::shared_ptr<FakeCalendarStore> calendarStore = std::make_shared<FakeCalendarStore>();
  std::shared_ptr<FakeContactStore> contactStore = std::make_shared<FakeContactStore>(std::vector<ContactRecord>{
      {.identifier = "john", .givenName = "John", .familyName = "Doe", .phoneNumbers = {{"cell", "+1 555 010 2000"}}}});
  std::shared_ptr<FakeDictionaryService> dictionary = std::make_shared<FakeDictionaryService>(
      std::map<std::string, std::string>{{"serendipity", "1. (noun) good luck in making fortunate discoveries"}});
  std::shared_ptr<FakeLocationService> location = std::make_shared<FakeLocationService>();
  std::shared_ptr<FakeCalculator> calculator = std::make_shared<FakeCalculator>(env.mainRunner());
  std::shared_ptr<FakeRouter> router = std::make_shared<FakeRouter>();
  std::unique_ptr<IntelligenceSourceSet> set;
  std::shared_ptr<IntelligenceCoordinator> coordinator;
  std::shared_ptr<PanelIntelligenceStore> store;
};

TEST_F(SourcesCoordinatorTest, WeatherForAPlaceStreamsInAfterTheFirstSnapshot) {
  location->setAvailability(LocationService::Availability::unavailable);
  create({DataSource::weather});
  std::vector<State> seen;
  store->setChangeHandler([&] {
    if (seen.empty() || seen.back() != store->widgetState(Id::weather)) seen.push_back(store->widgetState(Id::weather));
  });
  store->runSettledSearch("weather in paris");
  settle();
  EXPECT_EQ(seen, (std::vector<State>{State::loading, State::ready}));
  ASSERT_TRUE(store->intelligenceState().weatherSnapshot);
  EXPECT_EQ(store->intelligenceState().weatherSnapshot->location.name, "Paris");
  EXPECT_FALSE(store->intelligenceState().weatherAvailabilityIssue) << "a named place needs no location access";

  // Weather here without a location service: the issue shows, nothing is sent and nothing asks.
  const size_t before = http->requests().size();
  store->runSettledSearch("weather");
  settle();
  ASSERT_TRUE(store->intelligenceState().weatherAvailabilityIssue);
  EXPECT_EQ(store->intelligenceState().weatherAvailabilityIssue->telemetryReason(), "location-services-disabled");
  EXPECT_FALSE(store->intelligenceState().selectedIdentifiers.count(Id::weather));
  EXPECT_EQ(http->requests().size(), before);
  EXPECT_TRUE(store->pendingPermissions().empty());
}

TEST_F(SourcesCoordinatorTest, ContactsAnswerWithoutTheRouterAndOnlyForTheirNames) {
  create();
  store->runSettledSearch("doe john");
  settle();
  EXPECT_EQ(store->widgetState(Id::contacts), State::ready);
  ASSERT_EQ(store->intelligenceState().contactResults.size(), 1u);
  EXPECT_EQ(store->intelligenceState().contactResults[0].name, "John Doe");
  EXPECT_EQ(store->intelligenceState().contactResults[0].detail, "+1 555 010 2000");

  store->runSettledSearch("firefox");
  settle();
  EXPECT_TRUE(store->intelligenceState().contactResults.empty());
  EXPECT_FALSE(store->intelligenceState().selectedIdentifiers.count(Id::contacts)) << "no empty contacts card";

  contactStore->setStatus(ContactsAuthorizationStatus::notDetermined);
  store->runSettledSearch("doe john");
  settle();
  EXPECT_TRUE(store->intelligenceState().contactResults.empty());
  EXPECT_EQ(contactStore->accessRequests(), 0) << "a search never asks for the address book";
}

TEST_F(SourcesCoordinatorTest, ASilentServerNeverHoldsThePanel) {
  create({DataSource::dictionary, DataSource::knowledge});
  store->runSettledSearch("def serendipity");
  env.advanceBy(2s);
  EXPECT_EQ(store->widgetState(Id::dictionary), State::ready) << "the dictionary answered";
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::loading) << "the encyclopedia's server stays silent";
  EXPECT_EQ(http->pendingCount(), 1u);

  store->runSettledSearch("2+2");
  env.runUntilIdle();
  ASSERT_TRUE(store->intelligenceState().calculatorResult);
  EXPECT_EQ(store->intelligenceState().calculatorResult->formattedValue, "4");
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::idle);
  EXPECT_EQ(http->pendingCount(), 0u) << "the silent request was cancelled by the newer query";
}

// The place search sees a query only when maps was selected for it: calendar
// phrases, conversation recall, weather and the encyclopedia leave it alone.
TEST_F(SourcesCoordinatorTest, OnlyAQueryRoutedToMapsReachesThePlaceSearch) {
  location->setAvailability(LocationService::Availability::unavailable);
  const std::map<std::string, std::set<DataSource>> routes = {
      {"events tomorrow", {}},
      {"meetings on friday", {}},
      {"what did julia say about the party", {DataSource::messages}},
      {"is it hot in paris", {DataSource::weather}},
      {"who founded rome", {DataSource::knowledge}},
      {"Chez Paul near the station", {DataSource::maps}},
  };
  create();
  router->decide = [&routes](const std::string& text) { return routes.at(text); };
  auto placeSearches = [this] {
    std::vector<std::string> found;
    for (const std::string& url : http->urls()) {
      if (url.find(":9/search?") != std::string::npos) found.push_back(url);
    }
    return found;
  };
  for (const char* query : {"events tomorrow", "meetings on friday", "what did julia say about the party",
                            "is it hot in paris", "who founded rome"}) {
    store->runSettledSearch(query);
    settle();
    EXPECT_TRUE(placeSearches().empty()) << query << " reached the place search: " << placeSearches().front();
  }
  EXPECT_TRUE(store->intelligenceState().selectedIdentifiers.count(Id::wikipedia));

  store->runSettledSearch("Chez Paul near the station");
  settle();
  ASSERT_EQ(placeSearches().size(), 1u);
  EXPECT_NE(placeSearches()[0].find("q=Chez"), std::string::npos) << placeSearches()[0];
  EXPECT_EQ(store->intelligenceState().mapResults.size(), 3u);
}

// With a granted (here fixed) location: weather here, and the ambient
// highlights at the upcoming event's place.
TEST_F(SourcesCoordinatorTest, GrantedLocationGivesWeatherHereAndTheForecastAtTheNextEventsPlace) {
  ASSERT_TRUE(SystemLocationProvider::setFixedPlace(defaults, {"Lyon", {45.7578, 4.832}, std::nullopt}).ok());
  CalendarEvent dinner;
  dinner.uid = dinner.occurrenceId = "dinner@test";
  dinner.title = "Dinner";
  dinner.location = "Chez Paul";
  dinner.start = utc(2026, 3, 11, 10, 40);
  dinner.end = dinner.start + 2h;
  calendarStore->all = {dinner};
  create({DataSource::weather});
  settle();
  ASSERT_EQ(store->upcomingCalendarEvents().size(), 1u);
  EXPECT_EQ(store->upcomingCalendarEvents()[0].title, "Dinner");
  ASSERT_EQ(store->ambientEventMapResults().size(), 3u);
  EXPECT_EQ(store->ambientEventMapResults()[0].name, "Café de Flore");
  ASSERT_TRUE(store->ambientEventWeatherSnapshot());
  EXPECT_EQ(store->ambientEventWeatherSnapshot()->location.coordinate, (LocationCoordinate{48.854, 2.3325}));
  ASSERT_TRUE(store->ambientWeatherSnapshot()) << "the ambient forecast at the fixed place";
  EXPECT_TRUE(AmbientIntelligenceService::hasPrecipitationSoon(*store->ambientWeatherSnapshot(), env.clock().wallNow()))
      << "light rain now, 60% in the next hour";

  store->runSettledSearch("weather");
  settle();
  ASSERT_TRUE(store->intelligenceState().weatherSnapshot);
  EXPECT_EQ(store->intelligenceState().weatherSnapshot->location.name, "Lyon") << "named by reverse geocoding";
  EXPECT_FALSE(store->intelligenceState().weatherAvailabilityIssue);
}

}  // namespace
}  // namespace pallix
