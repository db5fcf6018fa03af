// Routing end to end: the pallix executable as a child process over an empty
// PALLIX_HOME whose endpoints point at a server on 127.0.0.1 started by the
// test. `pallix route` shows the bundled router's choice, and `pallix search`
// sends a text to the place search only when maps was chosen for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "testing/TestProcess.h"
#include "tests/integration/sources/LocalHttpServer.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace std::chrono_literals;
using testing::LocalHttpServer;
using testing::ProcessResult;
using Reply = LocalHttpServer::Reply;

class RoutingCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<LocalHttpServer>([](const LocalHttpServer::Request&) { return Reply{200, "[]"}; });
    ASSERT_TRUE(server->running());
    const std::string base = server->baseURL();
    nlohmann::json defaults = {{"OpenMeteoWeatherService.baseURL", base}, {"OpenMeteoGeocoder.baseURL", base},
                               {"NominatimPlaceSearch.baseURL", base},    {"WikipediaDataSource.baseURL", base},
                               {"WikipediaDataSource.webOrigin", base},   {"ModelDownloadManager.baseURL", base}};
    std::filesystem::create_directories(home.path() + "/.local/share/Pallix");
    std::ofstream(home.path() + "/.local/share/Pallix/UserDefaults.json") << defaults.dump();
  }
  ProcessResult pallix(std::vector<std::string> args, std::chrono::milliseconds limit = 60s) {
    args.insert(args.begin(), PALLIX_BINARY);
    return testing::runProcess(args, {{"PALLIX_HOME", home.path()}, {"PALLIX_LOG", "off"}, {"LC_ALL", "C.UTF-8"}},
                               limit);
  }
  std::set<std::string> routed(const std::string& text) {
    auto r = pallix({"route", text, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    auto j = nlohmann::json::parse(r.out, nullptr, false);
    std::set<std::string> selected;
    if (j.is_discarded()) {
      ADD_FAILURE() << text << ": " << r.out << r.err;
      return selected;
    }
    for (const auto& s : j["selected"]) selected.insert(s.get<std::string>());
    return selected;
  }
  // Requests of the place search (the geocoder's are "/v1/search?name=").
  size_t placeSearches() const {
    size_t n = 0;
    for (const auto& r : server->requests()) n += r.target.rfind("/search?", 0) == 0;
    return n;
  }

  pallix::testing::TempDir home;
  std::unique_ptr<LocalHttpServer> server;
};

TEST_F(RoutingCliTest, TheRouterSendsOnlyPlacesToMaps) {
  for (const char* text : {"events tomorrow", "meetings on friday", "what's on my calendar today",
                           "did sarah mention the deadline", "will it be hot tomorrow", "open firefox"}) {
    EXPECT_FALSE(routed(text).count("maps")) << text;
  }
  EXPECT_EQ(routed("will it be hot tomorrow"), (std::set<std::string>{"weather"}));
  EXPECT_EQ(routed("did sarah mention the deadline"), (std::set<std::string>{"messages"}));
  EXPECT_TRUE(routed("open firefox").empty());
  EXPECT_EQ(routed("coffee in montmartre"), (std::set<std::string>{"maps"}));
}

TEST_F(RoutingCliTest, ACalendarPhraseNeverReachesThePlaceSearch) {
  ASSERT_EQ(pallix({"index"}).exitCode, 0) << "`pallix search` reads the catalog";
  for (const char* text : {"events tomorrow", "meetings on friday"}) {
    auto r = pallix({"search", text, "--json"});
    EXPECT_LE(r.exitCode, 1) << "results or nothing found: " << r.err;
  }
  EXPECT_EQ(placeSearches(), 0u);

  auto r = pallix({"search", "pizza", "near", "me", "--json"});
  EXPECT_LE(r.exitCode, 1) << "results or nothing found: " << r.err;
  EXPECT_EQ(placeSearches(), 1u) << "a place query does reach it";
}

}  // namespace
}  // namespace pallix
