// Shared support of the source tests: the hand-written provider answers in
// tests/data/sources, a fake HTTP client routed by URL path, and a virtual
// time fixture with a telemetry recorder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "app/platform/HttpClient.h"
#include "core/Strings.h"
#include "core/Telemetry.h"
#include "testing/FakeHttpClient.h"
#include "testing/VirtualTime.h"
#include "tests/intelligence/IntelligenceTestSupport.h"

namespace pallix::testing_support {

// The path of `relative` in the test data folder.
inline std::string testDataPath(const std::string& relative) {
  const char* root = std::getenv("PALLIX_TEST_DATA");
  return std::string(root && *root ? root : PALLIX_SOURCE_ROOT "/tests/data") + "/" + relative;
}

// The contents of a provider answer in tests/data/sources.
inline std::string sourceFixture(const std::string& name) {
  const std::string path = testDataPath("sources/" + name);
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing fixture " << path;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A reply for requests whose URL contains `match`; nullopt never answers.
struct Route {
  std::string match;
  std::optional<Result<HttpResponse>> reply;
};
inline Route ok(std::string match, std::string body) {
  return {std::move(match), Result<HttpResponse>(HttpResponse{200, std::move(body), "application/json"})};
}
inline Route status(std::string match, int code, std::string body = "{}") {
  return {std::move(match), Result<HttpResponse>(HttpResponse{code, std::move(body), "application/json"})};
}
inline Route silent(std::string match) {
  return {std::move(match), std::nullopt};
}

// The first route whose text the URL contains (ignoring case) answers; unmatched URLs get 404.
inline void route(FakeHttpClient& http, std::vector<Route> routes) {
  http.setScript([routes](const HttpRequest& request) -> std::optional<Result<HttpResponse>> {
    for (const auto& r : routes) {
      if (asciiLowercase(request.url).find(asciiLowercase(r.match)) != std::string::npos) return r.reply;
    }
    return Result<HttpResponse>(HttpResponse{404, "{}", "application/json"});
  });
}

// The operational errors reported under `id`, in order.
inline std::vector<TelemetryEvent> errorsReported(ScopedTelemetryRecorder& recorder, const std::string& id) {
  std::vector<TelemetryEvent> out;
  for (const auto& e : recorder.sink().events()) {
    if (e.isError && e.errorId == id) out.push_back(e);
  }
  return out;
}

class SourcesFixture : public ::testing::Test {
 protected:
  void SetUp() override { env.clock().setWallNow(utc(2026, 3, 11, 10)); }
  // Runs every task, timers included.
  void settle() { env.fastForwardUntilNoTasksRemain(std::chrono::minutes(5)); }

  VirtualTimeEnvironment env;
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>(env.makeRunner("http"));
  ScopedTelemetryRecorder telemetry;
};

}  // namespace pallix::testing_support
