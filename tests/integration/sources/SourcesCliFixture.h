// The fixture of the sources' command-line tests: an empty PALLIX_HOME (with
// its own runtime directory) whose endpoints all point at a LocalHttpServer
// on 127.0.0.1, and the pallix executable run as a child process.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "testing/TestProcess.h"
#include "tests/integration/sources/LocalHttpServer.h"
#include "tests/support/TempDir.h"

namespace pallix {

using namespace std::chrono_literals;
using testing::LocalHttpServer;
using testing::ProcessResult;
using Reply = LocalHttpServer::Reply;

inline std::string dataFile(const std::string& relative) {
  std::ifstream in(std::string(PALLIX_SOURCE_ROOT) + "/tests/data/" + relative, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline Reply json(const std::string& fixture) {
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
  std::string runtimeDir() const { return home.path() + "/run"; }
  testing::Environment environment() const {
    std::filesystem::create_directories(runtimeDir());
    return {
        {"PALLIX_HOME", home.path()}, {"PALLIX_LOG", "off"}, {"LC_ALL", "C.UTF-8"}, {"XDG_RUNTIME_DIR", runtimeDir()}};
  }
  std::vector<std::string> command(std::vector<std::string> args) const {
    args.insert(args.begin(), PALLIX_BINARY);
    return args;
  }
  ProcessResult pallix(std::vector<std::string> args, std::chrono::milliseconds limit = 30s) {
    return testing::runProcess(command(std::move(args)), environment(), limit);
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

}  // namespace pallix
