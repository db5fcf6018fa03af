// The Linux location provider: a fixed place wins, GeoClue decides
// otherwise, and without a location service access is denied with location
// services off; the fixed place's stored form.
#include "app/sources/SystemLocationProvider.h"
#include "testing/FakeLocationService.h"
#include "tests/sources/SourcesTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;
using Availability = LocationService::Availability;

TEST(SystemLocationProviderTest, StatusFollowsTheFixedPlaceThenTheService) {
  VirtualTimeEnvironment env;
  const SystemLocationProvider::FixedPlace lyon{"Lyon", {45.76, 4.83}, "Europe/Paris"};
  struct Case {
    const char* name;
    std::optional<SystemLocationProvider::FixedPlace> fixed;
    Availability availability;
    LocationAuthorizationStatus status;
    bool servicesEnabled;
  };
  const std::vector<Case> cases = {
      {"fixed place", lyon, Availability::unavailable, LocationAuthorizationStatus::authorizedWhenInUse, true},
      {"GeoClue", std::nullopt, Availability::available, LocationAuthorizationStatus::authorizedWhenInUse, true},
      {"GeoClue refuses", std::nullopt, Availability::denied, LocationAuthorizationStatus::denied, true},
      {"no service", std::nullopt, Availability::unavailable, LocationAuthorizationStatus::denied, false},
  };
  for (const Case& c : cases) {
    auto service = std::make_shared<FakeLocationService>();
    service->setAvailability(c.availability);
    SystemLocationProvider provider(service, c.fixed, env.mainRunner());
    EXPECT_EQ(provider.authorizationStatus(), c.status) << c.name;
    EXPECT_EQ(provider.locationServicesEnabled(), c.servicesEnabled) << c.name;
  }
}

TEST(SystemLocationProviderTest, RequestsAnswerTheFixedPlaceOrTheNextFix) {
  VirtualTimeEnvironment env;
  std::vector<Location> delivered;
  auto service = std::make_shared<FakeLocationService>();
  SystemLocationProvider fixed(service, SystemLocationProvider::FixedPlace{"Lyon", {45.76, 4.83}, std::nullopt},
                               env.mainRunner());
  fixed.setDelegate({[&](const std::vector<Location>& l) { delivered = l; }, nullptr, nullptr});
  fixed.requestLocation();
  env.runUntilIdle();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].coordinate, (LocationCoordinate{45.76, 4.83}));
  EXPECT_FALSE(service->started) << "a fixed place never starts GeoClue";

  SystemLocationProvider live(service, std::nullopt, env.mainRunner());
  std::optional<Error> failure;
  live.setDelegate(
      {[&](const std::vector<Location>& l) { delivered = l; }, [&](const Error& e) { failure = e; }, nullptr});
  live.requestLocation();
  EXPECT_TRUE(service->started);
  service->deliver(LocationFix{{48.85, 2.35}, 30, utc(2026, 3, 11, 10)});
  env.runUntilIdle();
  EXPECT_EQ(delivered[0].coordinate, (LocationCoordinate{48.85, 2.35}));
  EXPECT_EQ(live.lastLocation()->horizontalAccuracy, 30);
  EXPECT_FALSE(service->started) << "a single request stops after its fix";
  live.startUpdatingLocation();
  service->fail(Error("GeoClue", 1, "gone"));
  env.runUntilIdle();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->description(), "gone");
}

TEST(SystemLocationProviderTest, FixedPlaceRoundTripsAndOddValuesAreIgnored) {
  UserDefaults defaults;
  EXPECT_FALSE(SystemLocationProvider::fixedPlace(defaults));
  const SystemLocationProvider::FixedPlace paris{"Paris", {48.85, 2.35}, "Europe/Paris"};
  ASSERT_TRUE(SystemLocationProvider::setFixedPlace(defaults, paris).ok());
  EXPECT_EQ(SystemLocationProvider::fixedPlace(defaults), paris);
  for (const char* bad : {R"({"latitude": 91, "longitude": 0})", R"({"latitude": "48", "longitude": 2})", "[1, 2]"}) {
    ASSERT_TRUE(defaults.setRaw(SystemLocationProvider::kFixedPlaceKey, nlohmann::json::parse(bad)).ok());
    EXPECT_FALSE(SystemLocationProvider::fixedPlace(defaults)) << bad;
  }
  ASSERT_TRUE(SystemLocationProvider::clearFixedPlace(defaults).ok());
  EXPECT_FALSE(defaults.contains(SystemLocationProvider::kFixedPlaceKey));
}

}  // namespace
}  // namespace pallix
