// The network and local sources end to end: the pallix executable as a
// child process over an empty PALLIX_HOME whose endpoints all point at a
// server on 127.0.0.1 started by the test, answering hand-written replies
// (tests/data/sources), failures, huge bodies or silence. Calendars come from
// .ics fixtures, contacts from .vcf exports and definitions from the
// installed WordNet.
#include <ctime>

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

// An Open-Meteo answer for a town on UTC (Reykjavik) made for this moment:
// 48 hours from the current one and seven days from today, as the service
// writes them with timeformat=unixtime.
std::string forecastFromNow() {
  const long long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const long long hour = now / 3600 * 3600, day = now / 86400 * 86400;
  nlohmann::json hourly = {{"time", nlohmann::json::array()},
                           {"temperature_2m", nlohmann::json::array()},
                           {"precipitation_probability", nlohmann::json::array()},
                           {"weather_code", nlohmann::json::array()},
                           {"is_day", nlohmann::json::array()}};
  for (int i = 0; i < 48; ++i) {
    hourly["time"].push_back(hour + i * 3600);
    hourly["temperature_2m"].push_back(i);
    hourly["precipitation_probability"].push_back(0);
    hourly["weather_code"].push_back(3);
    hourly["is_day"].push_back(1);
  }
  nlohmann::json daily = {{"time", nlohmann::json::array()},
                          {"weather_code", nlohmann::json::array()},
                          {"temperature_2m_max", nlohmann::json::array()},
                          {"temperature_2m_min", nlohmann::json::array()}};
  for (int i = 0; i < 8; ++i) {
    daily["time"].push_back(day + i * 86400);
    daily["weather_code"].push_back(3);
    daily["temperature_2m_max"].push_back(10 + i);
    daily["temperature_2m_min"].push_back(i);
  }
  nlohmann::json answer = {
      {"latitude", 64.14},
      {"longitude", -21.9},
      {"utc_offset_seconds", 0},
      {"timezone", "Atlantic/Reykjavik"},
      {"current",
       {{"time", now / 900 * 900}, {"interval", 900}, {"temperature_2m", 1.5}, {"weather_code", 3}, {"is_day", 1}}},
      {"hourly", hourly},
      {"daily", daily}};
  return answer.dump();
}

const char* kReykjavik =
    R"({"results": [{"id": 3413829, "name": "Reykjavík", "latitude": 64.13548, "longitude": -21.89541,)"
    R"( "feature_code": "PPLC", "country_code": "IS", "timezone": "Atlantic/Reykjavik", "country": "Iceland",)"
    R"( "admin1": "Capital Region"}], "generationtime_ms": 0.5})";

// Asked about a later time, the forecast shows that time: the hours of the
// evening, or the one day named.
TEST_F(SourcesCliTest, WeatherShowsTheTimeAsked) {
  serve({{"/v1/search?name=", Reply{200, kReykjavik}}, {"/v1/forecast", Reply{200, forecastFromNow()}}});
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), PALLIX_BINARY);
    auto env = environment();
    env["TZ"] = "Atlantic/Reykjavik";
    return testing::runProcess(args, env, 30s);
  };
  const std::time_t now = std::time(nullptr);
  std::tm today{};
  gmtime_r(&now, &today);
  auto tonight = run({"weather", "Reykjavik", "tonight"});
  ASSERT_EQ(tonight.exitCode, 0) << tonight.err;
  if (today.tm_hour < 20) {
    EXPECT_NE(tonight.out.find("  Hours: 20:00 "), std::string::npos) << tonight.out;
  } else {
    EXPECT_NE(tonight.out.find("  Next hours: "), std::string::npos) << tonight.out;
  }
  auto atNine = run({"weather", "Reykjavik", "at", "9pm", "--json"});
  ASSERT_EQ(atNine.exitCode, 0) << atNine.err;
  if (today.tm_hour < 18) {
    const auto hours = parsed(atNine)["hourly"];
    ASSERT_FALSE(hours.empty()) << atNine.out;
    EXPECT_EQ(hours[0]["date"].get<long long>() % 86400, 19 * 3600) << "from 19:00, two hours before nine";
  }

  const std::time_t later = now + 2 * 86400;
  std::tm day{};
  gmtime_r(&later, &day);
  char weekday[16], name[8], month[8];
  std::strftime(weekday, sizeof weekday, "%A", &day);
  std::strftime(name, sizeof name, "%a", &day);
  std::strftime(month, sizeof month, "%b", &day);
  const std::string label = std::string("  ") + name + " " + std::to_string(day.tm_mday) + " " + month + ": ";
  auto onDay = run({"weather", "Reykjavik", "on", weekday});
  ASSERT_EQ(onDay.exitCode, 0) << onDay.err;
  EXPECT_NE(onDay.out.find(label), std::string::npos) << label << "\n" << onDay.out;
  EXPECT_EQ(onDay.out.find("Today:"), std::string::npos) << onDay.out;
  EXPECT_EQ(onDay.out.find("Next hours"), std::string::npos) << onDay.out;
  auto weekend = parsed(run({"weather", "Reykjavik", "this", "weekend", "--json"}));
  EXPECT_EQ(weekend["focus"], today.tm_wday == 0 ? "today" : "weekend");
}

TEST_F(SourcesCliTest, WeatherForATownWithItsRegion) {
  serve({{"/search?q=portland", json("nominatim-search-portland.json")},
         {"/search?q=dover", json("nominatim-search-dover.json")},
         {"/v1/search?name=", json("open-meteo-geocoding-none.json")},
         {"/v1/forecast", json("open-meteo-forecast.json")}});
  auto maine = pallix({"weather", "Portland,", "Maine"});
  ASSERT_EQ(maine.exitCode, 0) << maine.err;
  EXPECT_NE(maine.out.find("Weather: Portland (Cumberland County, Maine, United States)"), std::string::npos)
      << maine.out;
  auto dover = pallix({"weather", "Dover", "UK", "--json"});
  ASSERT_EQ(dover.exitCode, 0) << dover.err;
  EXPECT_NEAR(parsed(dover)["location"]["latitude"].get<double>(), 51.1251, 1e-6);
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
