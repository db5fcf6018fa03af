// The network and local sources end to end: the pallix executable as a
// child process over an empty PALLIX_HOME whose endpoints all point at a
// server on 127.0.0.1 started by the test, answering hand-written replies
// (tests/data/sources), failures, huge bodies or silence. Calendars come from
// .ics fixtures and definitions from the installed WordNet.
#include "tests/integration/sources/SourcesCliFixture.h"

namespace pallix {
namespace {

TEST_F(SourcesCliTest, WeatherAnswersOrFailsClearly) {
  struct Case {
    const char* name;
    Reply forecast;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {"full answer", json("open-meteo-forecast.json"), 0},
      {"non-200", Reply{502, "{\"error\":true}"}, 1},
      {"huge body", Reply{200, "{\"pad\": \"" + std::string(3 << 20, 'x') + "\"}"}, 1},
  };
  for (const Case& c : cases) {
    serve({{"/v1/search?name=Paris", json("open-meteo-geocoding-paris.json")}, {"/v1/forecast", c.forecast}});
    auto r = pallix({"weather", "Paris", "--json"}, 20s);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << r.err;
    if (c.exitCode == 0) {
      auto snapshot = parsed(r);
      EXPECT_EQ(snapshot["location"]["name"], "Paris") << c.name;
      EXPECT_EQ(snapshot["location"]["timeZone"], "Europe/Paris") << c.name;
    } else {
      EXPECT_NE(r.err.find("no forecast for \"Paris\""), std::string::npos) << c.name << ": " << r.err;
    }
  }
  serve({{"/v1/search?name=Paris", json("open-meteo-geocoding-paris.json")},
         {"/v1/forecast", json("open-meteo-forecast.json")}});
  auto human = pallix({"weather", "Paris"});
  EXPECT_EQ(human.exitCode, 0);
  EXPECT_NE(human.out.find("Weather: Paris (Île-de-France, France): 11 \u00B0C, Light Rain"), std::string::npos)
      << human.out;
}

TEST_F(SourcesCliTest, NothingHangsWithoutANetwork) {
  // A server that accepts and never answers, then no server at all (connection refused).
  serve({{"/", Reply{200, "", true}}});
  buildCatalog();
  for (int round = 0; round < 2; ++round) {
    const auto start = std::chrono::steady_clock::now();
    auto weather = pallix({"weather", "Paris"}, 30s);
    auto wiki = pallix({"wiki", "ada", "lovelace"}, 30s);
    auto places = pallix({"places", "cafe"}, 30s);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(weather.exitCode, 1) << weather.err;
    EXPECT_EQ(wiki.exitCode, 1) << wiki.err;
    EXPECT_EQ(places.exitCode, 1) << places.err;
    EXPECT_LT(took, 25s) << "each request gives up on its own time-out";
    server.reset();
    // The port is closed now: a refused connection fails at once.
    writeDefaults("http://127.0.0.1:1");
  }
  auto calc = pallix({"search", "2+2", "--json"}, 15s);
  EXPECT_EQ(calc.exitCode, 0);
  EXPECT_EQ(parsed(calc)["intelligence"]["calculator"]["formattedValue"], "4");
}

TEST_F(SourcesCliTest, EncyclopediaAndPlacesSendWhatTheProvidersExpect) {
  serve({{"/?q=", json("instant-answer-article.json")}, {"/search?q=", json("nominatim-search-cafes.json")}});
  auto wiki = pallix({"wiki", "ada", "lovelace", "--json"});
  ASSERT_EQ(wiki.exitCode, 0) << wiki.err;
  auto article = parsed(wiki);
  EXPECT_EQ(article["title"], "Ada Lovelace");
  EXPECT_EQ(article["thumbnailURL"], server->baseURL() + "/i/ada-lovelace.jpg");
  EXPECT_EQ(requestsFor("/?q=ada%20lovelace&format=json&no_html=1&skip_disambig=1"), 1u);

  auto places = pallix({"places", "cafe", "near", "me", "--json"});
  ASSERT_EQ(places.exitCode, 0) << places.err;
  EXPECT_EQ(parsed(places).size(), 3u) << "four matches, three shown";
  bool identified = false;
  for (const auto& r : server->requests()) {
    if (r.target.rfind("/search?q=cafe&", 0) == 0)
      identified = r.headers.find("User-Agent: Pallix/") != std::string::npos;
  }
  EXPECT_TRUE(identified) << "Nominatim requests identify Pallix";
}

TEST_F(SourcesCliTest, AFixedPlaceIsTheCurrentLocation) {
  // The search answer is one place: the reverse fixture wrapped in an array.
  serve({{"/search?q=Lyon", Reply{200, "[" + dataFile("sources/nominatim-reverse.json") + "]"}},
         {"/reverse", json("nominatim-reverse.json")},
         {"/v1/forecast", json("open-meteo-forecast.json")}});
  auto unknown = pallix({"weather"});
  EXPECT_EQ(unknown.exitCode, 3) << "no location service here: " << unknown.err;
  EXPECT_NE(unknown.err.find("pallix location set PLACE"), std::string::npos);
  auto set = pallix({"location", "set", "Lyon"});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  auto shown = parsed(pallix({"location", "show", "--json"}));
  EXPECT_EQ(shown["source"], "fixed");
  EXPECT_EQ(shown["place"]["name"], "Lyon");
  auto weather = pallix({"weather", "--json"});
  ASSERT_EQ(weather.exitCode, 0) << weather.err;
  EXPECT_EQ(parsed(weather)["location"]["name"], "Lyon");
  EXPECT_EQ(pallix({"location", "set", "Atlantis"}).exitCode, 1);
  EXPECT_EQ(pallix({"location", "clear"}).exitCode, 0);
  EXPECT_EQ(pallix({"weather"}).exitCode, 3);
}

TEST_F(SourcesCliTest, CalendarsAreImportedAndSearched) {
  writeDefaults("http://127.0.0.1:1");
  EXPECT_EQ(pallix({"calendar", "upcoming"}).exitCode, 3) << "no calendar folder yet";
  auto bad = pallix({"calendar", "import", std::string(PALLIX_SOURCE_ROOT) + "/tests/data/calendar/broken.ics"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("not an iCalendar file"), std::string::npos) << bad.err;
  auto imported =
      pallix({"calendar", "import", std::string(PALLIX_SOURCE_ROOT) + "/tests/data/calendar/recurring.ics"});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_TRUE(std::filesystem::exists(dataDir() + "/Calendars/recurring.ics"));
  // The weekly standup repeats without end, so it is always within the next week.
  auto upcoming = pallix({"calendar", "upcoming", "--within", "8d", "--json"});
  ASSERT_EQ(upcoming.exitCode, 0) << upcoming.err;
  auto events = parsed(upcoming);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0]["title"], "Team standup");
  EXPECT_EQ(events[0]["hasRecurrenceRules"], true);
  EXPECT_EQ(events[0]["openURL"].get<std::string>().rfind("ical://ekevent/", 0), 0u);
  auto found = pallix({"calendar", "search", "team", "standup", "--json"});
  EXPECT_EQ(found.exitCode, 0);
  EXPECT_EQ(pallix({"calendar", "upcoming", "--within", "soon"}).exitCode, 2);
}

TEST_F(SourcesCliTest, DefinitionsComeFromWordNet) {
  if (!std::filesystem::exists("/usr/share/wordnet/data.noun")) {
    GTEST_SKIP() << "WordNet data is not installed (Debian package wordnet-base)";
  }
  writeDefaults("http://127.0.0.1:1");
  auto defined = pallix({"define", "serendipity", "--json"});
  ASSERT_EQ(defined.exitCode, 0) << defined.err;
  EXPECT_NE(parsed(defined)["definition"].get<std::string>().find("fortunate discoveries"), std::string::npos);
  EXPECT_EQ(pallix({"define", "qwzxv"}).exitCode, 1);
  EXPECT_EQ(pallix({"define"}).exitCode, 2);
}

TEST_F(SourcesCliTest, SearchShowsTheWidgets) {
  serve({{"/v1/search?name=paris", json("open-meteo-geocoding-paris.json")},
         {"/v1/forecast", json("open-meteo-forecast.json")}});
  buildCatalog();
  auto r = pallix({"search", "weather", "in", "paris", "--json"}, 30s);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto intelligence = parsed(r)["intelligence"];
  EXPECT_EQ(intelligence["widgets"]["weather"], "ready") << intelligence.dump();
  EXPECT_EQ(intelligence["weather"]["location"]["name"], "Paris");
  auto human = pallix({"search", "weather", "in", "paris"}, 30s);
  EXPECT_NE(human.out.find("Weather: Paris"), std::string::npos) << human.out;
}

}  // namespace
}  // namespace pallix
