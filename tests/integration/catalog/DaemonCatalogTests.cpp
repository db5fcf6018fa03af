// `pallix daemon` keeps the catalog current after its work mode has reached
// deepIdle (120 s after start with no panel): a file created three minutes
// after start is catalogued. Runs on the real timers, so it takes about four
// minutes.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "PallixProcess.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using namespace std::chrono_literals;
using testing::pollUntil;
using testing::runPallix;

bool catalogHas(const std::string& home, const std::string& path) {
  testing::ProcessResult listed = runPallix(home, {"catalog", "--type", "file", "--json"});
  nlohmann::json items = nlohmann::json::parse(listed.out, nullptr, false);
  if (!items.is_array()) return false;
  for (const auto& item : items) {
    if (item.value("path", "") == path) return true;
  }
  return false;
}

// The daemon's telemetry (on by default) names each work mode it applies.
bool reachedDeepIdle(const std::string& home) {
  std::ifstream lines(home + "/.local/share/Pallix/Telemetry.jsonl");
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    if (event.is_object() && event.value("signal", "") == "IndexingService.workModeChanged" &&
        event["parameters"].value("mode", "") == "deepIdle") {
      return true;
    }
  }
  return false;
}

TEST(DaemonCatalogTest, CataloguesAFileCreatedThreeMinutesAfterStart) {
  testing::TempDir home;
  const std::string docs = home.mkdir("Documents");
  const std::string early = home.write("Documents/early.txt", "1");
  const auto started = std::chrono::steady_clock::now();
  auto daemon = testing::startPallix(home.path(), {"daemon"});
  ASSERT_TRUE(pollUntil([&] { return !daemon->running() || catalogHas(home.path(), early); }, 60s, 1s))
      << daemon->errorOutput();
  ASSERT_TRUE(daemon->running()) << daemon->errorOutput();

  ASSERT_TRUE(pollUntil([&] { return !daemon->running() || reachedDeepIdle(home.path()); }, 150s, 1s))
      << "the daemon never reached deepIdle\n"
      << daemon->errorOutput();
  // The moment the issue names: three minutes after start, well into deepIdle.
  pollUntil([&] { return !daemon->running() || std::chrono::steady_clock::now() - started >= 180s; }, 180s, 1s);
  ASSERT_TRUE(daemon->running()) << daemon->errorOutput();
  const std::string late = home.write("Documents/late.txt", "2");
  // Incremental runs in deepIdle are at most a minute apart.
  EXPECT_TRUE(pollUntil([&] { return catalogHas(home.path(), late); }, 65s, 1s))
      << "not catalogued 65 s after creation\n"
      << daemon->errorOutput();

  daemon->signal(SIGTERM);
  testing::ProcessResult stopped = daemon->finish(30s);
  EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
}

}  // namespace
}  // namespace pallix
