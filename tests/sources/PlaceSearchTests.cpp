// Place search: Nominatim's pacing (one request a second), cache, headers and
// answers, and the maps source on top of it (the Open-Meteo geocoder is
// checked through the weather source).
#include <filesystem>

#include "app/platform/NominatimPlaceSearch.h"
#include "app/sources/MapSearchDataSource.h"
#include "testing/FakeLocationProvider.h"
#include "tests/sources/SourcesTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

class NominatimTest : public SourcesFixture {
 protected:
  void SetUp() override {
    SourcesFixture::SetUp();
    route(*http, {ok("/search", sourceFixture("nominatim-search-cafes.json")),
                  ok("/reverse", sourceFixture("nominatim-reverse.json"))});
    http->setDelay(200ms);
  }
  TaskHandle find(const std::string& text, std::vector<std::string>* names = nullptr) {
    PlaceSearchRequest request;
    request.text = text;
    return places.search(request, [names](Result<std::vector<MapItem>> items) {
      if (names && items.ok()) {
        for (const auto& i : items.value()) names->push_back(i.name);
      }
    });
  }
  // The virtual times at which requests reached the network.
  std::vector<Duration> sendTimes;
  NominatimPlaceSearch places{http, "http://127.0.0.1:9", "Pallix/test (local)", env.mainRunner()};
};

TEST_F(NominatimTest, RequestsStartAtMostOncePerSecond) {
  const MonoTime start = env.clock().now();
  http->setScript([&, inner = sourceFixture("nominatim-search-cafes.json")](const HttpRequest&) {
    sendTimes.push_back(env.clock().now() - start);
    return std::optional<Result<HttpResponse>>(HttpResponse{200, inner, "application/json"});
  });
  for (const char* q : {"a", "b", "c"}) find(q);
  env.advanceBy(5s);
  ASSERT_EQ(sendTimes.size(), 3u);
  EXPECT_EQ(sendTimes[0], 0s);
  EXPECT_GE(sendTimes[1], sendTimes[0] + NominatimPlaceSearch::kMinimumInterval);
  EXPECT_GE(sendTimes[2], sendTimes[1] + NominatimPlaceSearch::kMinimumInterval);
  EXPECT_LT(sendTimes[2], 2.5s) << "no longer than needed";
}

// Two place searches (as in two processes) sharing one spacing file start
// their requests a second apart, even when asked at the same instant.
TEST_F(NominatimTest, ASharedSpacingFileKeepsSeparateSearchersASecondApart) {
  pallix::testing::TempDir dir;
  const std::string path = dir.path() + "/pallix-place-search.spacing";
  auto spacing = [&] { return std::make_shared<LockFileRequestSpacing>(path, NominatimPlaceSearch::kMinimumInterval); };
  NominatimPlaceSearch first{http, "http://127.0.0.1:9", "Pallix/test", env.mainRunner(), spacing()};
  NominatimPlaceSearch second{http, "http://127.0.0.1:9", "Pallix/test", env.mainRunner(), spacing()};
  const MonoTime start = env.clock().now();
  http->setScript([&, inner = sourceFixture("nominatim-search-cafes.json")](const HttpRequest&) {
    sendTimes.push_back(env.clock().now() - start);
    return std::optional<Result<HttpResponse>>(HttpResponse{200, inner, "application/json"});
  });
  PlaceSearchRequest request;
  for (auto* searcher : {&first, &second, &first}) {
    request.text += "x";
    searcher->search(request, [](Result<std::vector<MapItem>>) {});
  }
  env.advanceBy(5s);
  ASSERT_EQ(sendTimes.size(), 3u);
  EXPECT_EQ(sendTimes[0], 0s);
  EXPECT_EQ(sendTimes[1], 1s);
  EXPECT_EQ(sendTimes[2], 2s);
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  // A slot far in the future (a clock set back, a damaged file) is not waited for.
  std::ofstream(path) << "99999999999999999\n";
  const Date now = env.clock().wallNow();
  EXPECT_EQ(LockFileRequestSpacing(path, 1s).claim(now), now);
  std::ofstream(path) << "garbage";
  EXPECT_EQ(LockFileRequestSpacing(path, 1s).claim(now), now);
  // A file that cannot be used degrades to spacing within the object.
  LockFileRequestSpacing nowhere(dir.path() + "/missing/dir/file", 1s);
  EXPECT_EQ(nowhere.claim(now), now);
  EXPECT_EQ(nowhere.claim(now), now + 1s);
  // A clock set back an hour does not make the next request wait an hour.
  EXPECT_EQ(nowhere.claim(now - 1h), now - 1h);
}

TEST_F(NominatimTest, ARateLimitedAnswerSaysWhenToTryAgain) {
  http->setScript([](const HttpRequest&) {
    HttpResponse response{429, "{}", "application/json"};
    response.retryAfterSeconds = 7;
    return std::optional<Result<HttpResponse>>(response);
  });
  std::optional<Result<std::vector<MapItem>>> answer;
  PlaceSearchRequest request;
  request.text = "cafe";
  places.search(request, [&](Result<std::vector<MapItem>> r) { answer = std::move(r); });
  settle();
  ASSERT_TRUE(answer && !answer->ok());
  EXPECT_EQ(answer->error().code(), static_cast<int>(PlaceSearchErrorCode::rateLimited));
  EXPECT_NE(answer->error().description().find("rate limited, try again in 7 s"), std::string::npos)
      << answer->error().description();
  EXPECT_EQ(places.cachedCount(), 0u) << "a refusal is not an answer to keep";
}

TEST_F(NominatimTest, RepeatsComeFromTheCacheAndCancelledRequestsAreNeverSent) {
  std::vector<std::string> first, second;
  find("cafe paris", &first);
  settle();
  find("cafe paris", &second);
  settle();
  EXPECT_EQ(first, second);
  EXPECT_EQ(places.sentCount(), 1u);
  EXPECT_EQ(places.cachedCount(), 1u);

  env.advanceBy(NominatimPlaceSearch::kCacheLifetime + 1s);
  find("cafe paris");
  find("waiting").cancel();
  settle();
  EXPECT_EQ(places.sentCount(), 2u) << "stale answers are asked again; the cancelled one never leaves";

  const HttpRequest sent = http->requests().back();
  EXPECT_NE(std::find(sent.headers.begin(), sent.headers.end(),
                      std::pair<std::string, std::string>{"User-Agent", "Pallix/test (local)"}),
            sent.headers.end());
}

TEST_F(NominatimTest, AnswersAndRequests) {
  auto items = NominatimPlaceSearch::parseSearch(sourceFixture("nominatim-search-cafes.json"));
  ASSERT_TRUE(items.ok());
  ASSERT_EQ(items->size(), 4u);
  const MapItem& flore = items->front();
  EXPECT_EQ(flore.name, "Café de Flore");
  EXPECT_EQ(flore.locality, "Paris");
  EXPECT_EQ(flore.shortAddress, "172 Boulevard Saint-Germain, Paris");
  EXPECT_EQ(flore.coordinate, (LocationCoordinate{48.854, 2.3325}));
  EXPECT_EQ(flore.url, "https://www.openstreetmap.org/node/2400001");
  EXPECT_EQ((*items)[3].name, "Rue Soufflot") << "an unnamed place is called by its street";

  // (A found place is read through the weather source's current location.)
  auto nowhere = NominatimPlaceSearch::parseReverse(sourceFixture("nominatim-reverse-error.json"));
  ASSERT_FALSE(nowhere.ok());
  EXPECT_EQ(nowhere.error().code(), static_cast<int>(PlaceSearchErrorCode::notFound));
  for (const char* bad : {"", "{}", "[{\"lat\": 1}", "not json"}) {
    EXPECT_FALSE(NominatimPlaceSearch::parseSearch(bad).ok()) << bad;
  }

  PlaceSearchRequest request;
  request.text = "café & bar";
  request.resultTypes = {PlaceResultType::address, PlaceResultType::pointOfInterest};
  request.region = PlaceSearchRegion{{48.85, 2.35}, MapSearchDataSource::kRegionRadius};
  auto url = places.searchURL(request);
  ASSERT_TRUE(url.ok());
  EXPECT_EQ(url->find("http://127.0.0.1:9/search?q=caf%C3%A9%20%26%20bar&format=jsonv2&addressdetails=1"), 0u);
  EXPECT_NE(url->find("&layer=address%2Cpoi"), std::string::npos);
  EXPECT_NE(url->find("&viewbox=2.00"), std::string::npos) << *url;
  EXPECT_NE(url->find("&bounded=0"), std::string::npos);
}

class MapSearchTest : public NominatimTest {
 protected:
  std::optional<std::vector<MapSearchResult>> search(const std::string& query) {
    std::optional<std::vector<MapSearchResult>> out;
    maps.performSearch(query, [&](std::optional<VCRDataSourceResult> r) {
      answer = r;
      out = r && std::holds_alternative<std::vector<MapSearchResult>>(*r) ? std::get<std::vector<MapSearchResult>>(*r)
                                                                          : std::vector<MapSearchResult>{};
    });
    settle();
    return out;
  }
  std::optional<VCRDataSourceResult> answer;
  std::shared_ptr<FakeLocationProvider> location = std::make_shared<FakeLocationProvider>();
  MapSearchDataSource maps{std::shared_ptr<PlaceSearch>(&places, [](PlaceSearch*) {}), location, env.mainRunner()};
};

TEST_F(MapSearchTest, FourMatchingPlacesYieldThree) {
  auto results = search("cafe near me");
  ASSERT_TRUE(results);
  ASSERT_EQ(results->size(), 3u);
  EXPECT_EQ((*results)[0].name, "Café de Flore");
  EXPECT_EQ((*results)[0].subtitle, "172 Boulevard Saint-Germain, Paris");
  EXPECT_NE(http->urls().back().find("q=cafe&"), std::string::npos) << "the place words are searched";
  EXPECT_EQ(http->urls().back().find("viewbox"), std::string::npos) << "no location, no bias";

  location->setLastLocation(Location{{48.85, 2.35}, {}, 10});
  search("bakery");
  EXPECT_NE(http->urls().back().find("viewbox"), std::string::npos);

  route(*http, {status("/search", 500)});
  search("library");
  EXPECT_FALSE(answer) << "a failed search shows nothing";

  // A refusal is said, not shown as "nothing found"; the panel and the search command print the notice.
  route(*http, {status("/search", 429)});
  search("museum");
  ASSERT_TRUE(answer && std::holds_alternative<SourceNotice>(*answer));
  const auto& notice = std::get<SourceNotice>(*answer);
  EXPECT_EQ(notice.source, VCRDataSourceIdentifier::maps);
  EXPECT_NE(notice.text.find("rate limited, try again"), std::string::npos) << notice.text;
  Snapshot snapshot;
  snapshot.apply(*answer);
  EXPECT_TRUE(snapshot.hasContent(VCRDataSourceIdentifier::maps)) << "the widget is ready, not empty";
}

TEST(MapPlaceTextTest, MapWordsAroundThePlaceAreDropped) {
  const std::vector<std::pair<std::string, std::string>> table = {{"pharmacy near me", "pharmacy"},
                                                                  {"directions to Lyon", "Lyon"},
                                                                  {"  coffee   nearby ", "coffee"},
                                                                  {"how do I get to Gare de Lyon", "Gare de Lyon"},
                                                                  {"nearest ev charger near me", "ev charger"},
                                                                  {"10 Downing Street", "10 Downing Street"},
                                                                  {"near me", "near me"}};
  for (const auto& [query, place] : table) EXPECT_EQ(MapSearchDataSource::placeText(query), place) << query;
}

}  // namespace
}  // namespace pallix
