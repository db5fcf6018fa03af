// The network and local sources end to end: the pallix executable as a
// child process over an empty PALLIX_HOME whose endpoints all point at a
// server on 127.0.0.1 started by the test, answering hand-written replies
// (tests/data/sources), failures, huge bodies or silence. Calendars come from
// .ics fixtures, contacts from .vcf exports and definitions from the
// installed WordNet.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "testing/TestProcess.h"
#include "tests/integration/sources/LocalHttpServer.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace std::chrono_literals;
using testing::LocalHttpServer;
using testing::ProcessResult;
using Reply = LocalHttpServer::Reply;

std::string dataFile(const std::string& relative) {
  std::ifstream in(std::string(PALLIX_SOURCE_ROOT) + "/tests/data/" + relative, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Reply json(const std::string& fixture) {
  return Reply{200, dataFile("sources/" + fixture)};
}

class SourcesCliTest : public ::testing::Test {
 protected:
  // Answers the first route whose text the request target contains (ignoring case); anything else is a 404.
  void serve(std::vector<std::pair<std::string, Reply>> routes) {
    server = std::make_unique<LocalHttpServer>([routes](const LocalHttpServer::Request& request) {
      auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
      };
      for (const auto& [match, reply] : routes) {
        if (lower(request.target).find(lower(match)) != std::string::npos) return reply;
      }
      return Reply{404, "{}"};
    });
    ASSERT_TRUE(server->running());
    writeDefaults(server->baseURL());
  }
  // Every endpoint of the sources and of model downloads at `base`.
  void writeDefaults(const std::string& base, nlohmann::json extra = nlohmann::json::object()) {
    nlohmann::json defaults = {{"OpenMeteoWeatherService.baseURL", base}, {"OpenMeteoGeocoder.baseURL", base},
                               {"NominatimPlaceSearch.baseURL", base},    {"WikipediaDataSource.baseURL", base},
                               {"WikipediaDataSource.webOrigin", base},   {"ModelDownloadManager.baseURL", base}};
    defaults.update(extra);
    std::filesystem::create_directories(dataDir());
    std::ofstream(dataDir() + "/UserDefaults.json") << defaults.dump();
  }
  std::string dataDir() const { return home.path() + "/.local/share/Pallix"; }
  ProcessResult pallix(std::vector<std::string> args, std::chrono::milliseconds limit = 30s) {
    args.insert(args.begin(), PALLIX_BINARY);
    return testing::runProcess(args, {{"PALLIX_HOME", home.path()}, {"PALLIX_LOG", "off"}, {"LC_ALL", "C.UTF-8"}},
                               limit);
  }
  // `pallix search` reads the catalog: build one (of this home's folders).
  void buildCatalog() { ASSERT_EQ(pallix({"index"}, 60s).exitCode, 0); }
  nlohmann::json parsed(const ProcessResult& r) {
    auto j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << r.out << r.err;
    return j;
  }
  size_t requestsFor(const std::string& text) const {
    size_t n = 0;
    for (const auto& r : server->requests()) n += r.target.find(text) != std::string::npos;
    return n;
  }

  pallix::testing::TempDir home;
  std::unique_ptr<LocalHttpServer> server;
};

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

TEST_F(SourcesCliTest, CalendarImportListsTheEventsItCouldNotRead) {
  writeDefaults("http://127.0.0.1:1");
  const std::string malformed = std::string(PALLIX_SOURCE_ROOT) + "/tests/data/calendar/malformed.ics";
  auto imported = pallix({"calendar", "import", malformed});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_NE(imported.out.find("Imported 5 events into "), std::string::npos) << imported.out;
  EXPECT_NE(imported.out.find("(2 skipped)"), std::string::npos) << imported.out;
  EXPECT_NE(imported.out.find("\"Picnic\" skipped: it has no start (DTSTART)"), std::string::npos) << imported.out;
  EXPECT_NE(imported.out.find("\"Concert\" skipped: its start \"next friday\" cannot be read"), std::string::npos)
      << imported.out;

  auto zones = parsed(pallix(
      {"calendar", "import", std::string(PALLIX_SOURCE_ROOT) + "/tests/data/calendar/windows-tzid.ics", "--json"}));
  EXPECT_EQ(zones["events"], 4);
  EXPECT_EQ(zones["skipped"], 0);
  ASSERT_EQ(zones["notes"].size(), 1u) << zones.dump();
  EXPECT_EQ(zones["notes"][0]["kind"], "unknownTimeZone");
  EXPECT_EQ(zones["notes"][0]["event"], "Supplier review");
  EXPECT_EQ(zones["notes"][0]["detail"], "Customized Time Zone");
}

// An all-day birthday today and a holiday tomorrow, in the shape a web calendar exports, in the user's zone.
TEST_F(SourcesCliTest, AllDayEventsAreShownUnderTheirOwnDay) {
  writeDefaults("http://127.0.0.1:1");
  // Today's date in the zone the child runs in, read by this process without keeping that zone.
  auto day = [](int offset) {
    const char* before = std::getenv("TZ");
    const std::string saved = before ? before : "";
    setenv("TZ", "Europe/Paris", 1);
    tzset();
    struct Restore {
      bool had;
      std::string value;
      ~Restore() {
        had ? setenv("TZ", value.c_str(), 1) : unsetenv("TZ");
        tzset();
      }
    } restore{before != nullptr, saved};
    const time_t now = std::time(nullptr) + offset * 86400;
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &tm);
    return std::string(text);
  };
  const std::string today = day(0);
  const std::string file = home.path() + "/days.ics";
  std::ofstream(file, std::ios::binary)
      << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Google Inc//Google Calendar 70.9054//EN\r\n"
      << "BEGIN:VEVENT\r\nDTSTART;VALUE=DATE:" << today << "\r\nDTEND;VALUE=DATE:" << day(1)
      << "\r\nRRULE:FREQ=YEARLY\r\nUID:birthday-today@google.com\r\nSUMMARY:Marie's birthday\r\nEND:VEVENT\r\n"
      << "BEGIN:VEVENT\r\nDTSTART;VALUE=DATE:" << day(1)
      << "\r\nUID:holiday-tomorrow@google.com\r\nSUMMARY:Bank holiday\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), PALLIX_BINARY);
    return testing::runProcess(
        args, {{"PALLIX_HOME", home.path()}, {"PALLIX_LOG", "off"}, {"LC_ALL", "C.UTF-8"}, {"TZ", "Europe/Paris"}},
        30s);
  };
  ASSERT_EQ(run({"calendar", "import", file}).exitCode, 0);
  if (day(0) != today) GTEST_SKIP() << "the day changed while the test ran";
  auto todays = parsed(run({"calendar", "search", "events", "today", "--json"}));
  ASSERT_EQ(todays.size(), 1u) << todays.dump();
  EXPECT_EQ(todays[0]["title"], "Marie's birthday");
  EXPECT_EQ(todays[0]["relativeDateDescription"], "today");
  auto tomorrows = parsed(run({"calendar", "search", "events", "tomorrow", "--json"}));
  ASSERT_EQ(tomorrows.size(), 1u) << "the birthday ends at midnight: " << tomorrows.dump();
  EXPECT_EQ(tomorrows[0]["title"], "Bank holiday");
  EXPECT_EQ(tomorrows[0]["relativeDateDescription"], "tomorrow");
  auto human = run({"calendar", "search", "events", "tomorrow"});
  EXPECT_EQ(human.out.find("birthday"), std::string::npos) << human.out;
}

TEST_F(SourcesCliTest, ImportedContactsAnswerSearchesByNameNumberAndInJapanese) {
  writeDefaults("http://127.0.0.1:1");
  const std::string vcards = std::string(PALLIX_SOURCE_ROOT) + "/tests/data/platform/vcards/";
  for (const char* file : {"people.vcf", "shift_jis_phone.vcf"}) {
    auto imported = pallix({"contacts", "import", vcards + file});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
  }

  auto john = pallix({"search", "john", "doe"});
  EXPECT_EQ(john.exitCode, 0) << john.err;
  EXPECT_NE(john.out.find("Contacts: John Doe \u2014 +1 (555) 010-2000 (Acme Corp)\n"), std::string::npos) << john.out;
  EXPECT_EQ(john.out.find("Jane Doe"), std::string::npos) << john.out;

  auto doe = pallix({"search", "doe", "--json"});
  EXPECT_EQ(doe.exitCode, 0) << doe.err;
  auto intelligence = parsed(doe)["intelligence"];
  EXPECT_EQ(intelligence["widgets"]["contacts"], "ready") << intelligence.dump();
  ASSERT_EQ(intelligence["contacts"].size(), 2u) << intelligence.dump();
  EXPECT_EQ(intelligence["contacts"][0]["name"], "Jane Doe");
  EXPECT_EQ(intelligence["contacts"][0]["detail"], "jane@example.org");
  EXPECT_EQ(intelligence["contacts"][1]["name"], "John Doe");
  EXPECT_EQ(intelligence["contacts"][1]["organizationName"], "Acme Corp");
  EXPECT_EQ(intelligence["contacts"][1]["phoneNumbers"][0]["value"], "+1 (555) 010-2000");

  // The phone's Shift_JIS card, asked for as it is written and without the space.
  for (const char* query : {"山田 太郎", "山田太郎"}) {
    auto taro = pallix({"search", query});
    EXPECT_EQ(taro.exitCode, 0) << taro.err;
    EXPECT_NE(taro.out.find("Contacts: 山田 太郎 \u2014 090-1234-5678\n"), std::string::npos) << query << "\n"
                                                                                              << taro.out;
  }
  auto sou = pallix({"search", "能登", "--json"});
  auto card = parsed(sou)["intelligence"]["contacts"];
  ASSERT_EQ(card.size(), 1u) << sou.out;
  EXPECT_EQ(card[0]["name"], "能登 ソウ");
  EXPECT_EQ(card[0]["organizationName"], "表計算株式会社");

  auto number = pallix({"search", "+1", "555", "010", "2000"});
  EXPECT_NE(number.out.find("Contacts: John Doe"), std::string::npos) << number.out;
  auto zoe = pallix({"search", "zoe", "angstrom"});
  EXPECT_NE(zoe.out.find("Contacts: Zoë Ångström"), std::string::npos) << zoe.out;

  auto other = pallix({"search", "qwzxv", "--json"});
  EXPECT_FALSE(parsed(other)["intelligence"].contains("contacts")) << other.out;
  EXPECT_EQ(other.exitCode, 3) << "nothing found (and no catalog)";
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
