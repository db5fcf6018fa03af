// What the commands send, counted by the local server: one-shot searches ask
// only what their query needs, place searches from several processes keep a
// second apart, a rate-limited answer is said as such, and a source switched
// off sends nothing at all.
#include <algorithm>

#include "core/Strings.h"
#include "tests/integration/sources/SourcesCliFixture.h"

namespace pallix {
namespace {

using testing::BackgroundProcess;

const nlohmann::json kLyon = {{"name", "Lyon"}, {"latitude", 45.7578}, {"longitude", 4.832}};

// A reverse-geocoding answer naming a suburb, not the town the user set.
const char* kSuburbReverse =
    R"({"place_id": 7, "osm_type": "way", "osm_id": 77, "lat": "45.7570", "lon": "4.8430", "name": "La Guillotière",)"
    R"( "display_name": "La Guillotière, Lyon, France", "address": {"suburb": "La Guillotière", "city": "Lyon",)"
    R"( "country": "France"}})";

class NetworkRequestsTest : public SourcesCliTest {
 protected:
  void serveEverything() {
    serve({{"/search?q=", json("nominatim-search-cafes.json")},
           {"/reverse", Reply{200, kSuburbReverse}},
           {"/v1/search?name=", json("open-meteo-geocoding-paris.json")},
           {"/v1/forecast", json("open-meteo-forecast.json")},
           {"/?q=", json("instant-answer-article.json")}});
  }
};

TEST_F(NetworkRequestsTest, OneShotSearchesSendNoAmbientWeatherRequests) {
  serveEverything();
  // A known location: a panel would fetch the local forecast for it at once.
  writeDefaults(server->baseURL(), {{"SystemLocationProvider.fixedPlace", kLyon}});
  buildCatalog();
  for (const char* words : {"100 usd to eur", "firefox"}) {
    std::vector<std::string> args = {"search"};
    for (const auto& w : splitString(words, ' ')) args.push_back(w);
    auto r = pallix(args, 30s);
    EXPECT_NE(r.exitCode, 2) << r.err;
  }
  EXPECT_EQ(requestsFor("/reverse"), 0u);
  EXPECT_EQ(requestsFor("/v1/forecast"), 0u) << "no ambient forecast from a one-shot search";

  // The weather asked for is still fetched.
  auto asked = pallix({"search", "weather", "in", "paris", "--json"}, 30s);
  ASSERT_EQ(asked.exitCode, 0) << asked.err;
  EXPECT_EQ(requestsFor("/v1/forecast"), 1u);
}

TEST_F(NetworkRequestsTest, PlaceSearchesFromSeveralProcessesKeepASecondApart) {
  serveEverything();
  std::vector<std::unique_ptr<BackgroundProcess>> running;
  for (const char* what : {"cafe", "bakery", "museum", "library"}) {
    running.push_back(std::make_unique<BackgroundProcess>(command({"places", what}), environment()));
  }
  for (auto& p : running) {
    auto r = p->finish(30s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
  }
  std::vector<std::chrono::steady_clock::time_point> starts;
  for (const auto& request : server->requests()) {
    if (request.target.rfind("/search?q=", 0) == 0) starts.push_back(request.received);
  }
  ASSERT_EQ(starts.size(), 4u);
  std::sort(starts.begin(), starts.end());
  for (size_t i = 1; i < starts.size(); ++i) {
    // The claimed starts are a second apart; the server sees them a little earlier or later.
    EXPECT_GE(starts[i] - starts[i - 1], 900ms) << "request " << i;
  }
  EXPECT_TRUE(std::filesystem::exists(runtimeDir() + "/pallix-place-search.spacing"));
  EXPECT_EQ(std::filesystem::status(runtimeDir() + "/pallix-place-search.spacing").permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(NetworkRequestsTest, ARateLimitedPlaceSearchSaysWhenToTryAgain) {
  serve({{"/search?q=", Reply{429, "{}", false, "application/json", "Retry-After: 7\r\n"}}});
  auto places = pallix({"places", "cafe"});
  EXPECT_EQ(places.exitCode, 1);
  EXPECT_NE(places.err.find("rate limited, try again in 7 s"), std::string::npos) << places.err;
  EXPECT_EQ(places.err.find("nothing found"), std::string::npos) << places.err;
  auto set = pallix({"location", "set", "Lyon"});
  EXPECT_EQ(set.exitCode, 1);
  EXPECT_NE(set.err.find("rate limited, try again in 7 s"), std::string::npos) << set.err;

  // The search command shows the refusal where the places would be.
  buildCatalog();
  auto search = pallix({"search", "directions", "to", "lyon"}, 30s);
  EXPECT_NE(search.out.find("Places: The place search is rate limited, try again in 7 s"), std::string::npos)
      << search.out << search.err;
  auto json = pallix({"search", "directions", "to", "lyon", "--json"}, 30s);
  auto parsed = nlohmann::json::parse(json.out, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << json.out;
  EXPECT_NE(parsed["intelligence"]["notices"].value("maps", "").find("rate limited"), std::string::npos) << json.out;
  EXPECT_EQ(parsed["intelligence"]["widgets"].value("maps", ""), "ready") << json.out;
}

TEST_F(NetworkRequestsTest, SourcesSwitchedOffSendNothing) {
  serveEverything();
  writeDefaults(server->baseURL(), {{"DataSourcePreferences.weatherEnabled", false},
                                    {"DataSourcePreferences.wikipediaEnabled", false},
                                    {"DataSourcePreferences.mapsEnabled", false}});
  struct Case {
    std::vector<std::string> args;
    const char* key;
  };
  const std::vector<Case> cases = {{{"weather", "Paris"}, "DataSourcePreferences.weatherEnabled"},
                                   {{"wiki", "ada", "lovelace"}, "DataSourcePreferences.wikipediaEnabled"},
                                   {{"places", "cafe"}, "DataSourcePreferences.mapsEnabled"},
                                   {{"location", "set", "Lyon"}, "DataSourcePreferences.mapsEnabled"}};
  for (const Case& c : cases) {
    auto r = pallix(c.args);
    EXPECT_EQ(r.exitCode, 3) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find("switched off"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(std::string("pallix defaults write ") + c.key + " true"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(server->requests().empty()) << server->requests().front().target;

  // Turned on again the way the hint says, the source answers.
  ASSERT_EQ(pallix({"defaults", "write", "DataSourcePreferences.wikipediaEnabled", "true"}).exitCode, 0);
  EXPECT_EQ(pallix({"wiki", "ada", "lovelace"}).exitCode, 0);
}

TEST_F(NetworkRequestsTest, WeatherForASetPlaceIsNamedAfterIt) {
  serve({{"/search?q=Lyon", Reply{200, "[" + dataFile("sources/nominatim-reverse.json") + "]"}},
         {"/reverse", Reply{200, kSuburbReverse}},
         {"/v1/forecast", json("open-meteo-forecast.json")}});
  ASSERT_EQ(pallix({"location", "set", "Lyon"}).exitCode, 0);
  auto weather = pallix({"weather", "--json"});
  ASSERT_EQ(weather.exitCode, 0) << weather.err;
  EXPECT_EQ(parsed(weather)["location"]["name"], "Lyon");
  auto human = pallix({"weather"});
  EXPECT_NE(human.out.find("Weather: Lyon"), std::string::npos) << human.out;
  EXPECT_EQ(human.out.find("Guillotière"), std::string::npos) << human.out;
}

TEST_F(NetworkRequestsTest, PrefsListsTheEndpoints) {
  writeDefaults("http://127.0.0.1:1");
  auto listed = pallix({"prefs"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  for (const char* key :
       {"OpenMeteoWeatherService.baseURL", "OpenMeteoGeocoder.baseURL", "NominatimPlaceSearch.baseURL",
        "WikipediaDataSource.baseURL", "WikipediaDataSource.webOrigin", "ModelDownloadManager.baseURL"}) {
    EXPECT_NE(listed.out.find(key), std::string::npos) << key << "\n" << listed.out;
  }
  EXPECT_NE(listed.out.find("http://127.0.0.1:1"), std::string::npos);
  auto asJson = parsed(pallix({"prefs", "--json"}));
  EXPECT_EQ(asJson["endpoints"]["NominatimPlaceSearch.baseURL"]["value"], "http://127.0.0.1:1");
  EXPECT_EQ(asJson["endpoints"]["NominatimPlaceSearch.baseURL"]["default"], "https://nominatim.openstreetmap.org");
}

}  // namespace
}  // namespace pallix
