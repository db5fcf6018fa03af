// `pallix status` against a real pallix-desktop on Xvfb: searches typed into
// the panel with real keys (xdotool) show up in the latency counts of their
// sources, the agent reports its own CPU, memory and open files, the
// catalog's first scan as its last pass; with the agent gone the command
// falls back to the data directory and exits 3. The Status page of the
// settings window is written to the artefacts folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/platform/DataDirectories.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/shell/PanelRequests.h"
#include "testing/TestProcess.h"
#include "tests/integration/desktop/DesktopTestHome.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::BackgroundProcess;
using testing::pollUntil;
using testing::ProcessResult;

class StatusCommandTest : public testing::DesktopAgentTest {
 protected:
  void SetUp() override {
    DesktopAgentTest::SetUp();
    if (IsSkipped()) return;
    writeApps({"Marker Maker", "Text Editor", "Terminal"});
    fs::create_directories(home_ + "/Documents");
    std::ofstream(home_ + "/Documents/quarterly-report.txt") << "numbers";
  }

  ProcessResult result(const std::vector<std::string>& argv) { return testing::runProcess(argv, env_); }
  int key(const std::string& keys) { return run({"xdotool", "key", keys}); }
  int type(const std::string& text) { return run({"xdotool", "type", "--delay", "15", text}); }

  // The running agent's report; null while it does not answer.
  nlohmann::json status() {
    ProcessResult r = result({PALLIX_BINARY, "status", "--json"});
    if (r.exitCode != 0) return nullptr;
    return nlohmann::json::parse(r.out, nullptr, false);
  }
  static const nlohmann::json* source(const nlohmann::json& report, const std::string& name) {
    if (!report.is_object()) return nullptr;
    for (const auto& s : report["sources"]) {
      if (s.value("name", "") == name) return &s;
    }
    return nullptr;
  }
  static uint64_t queries(const nlohmann::json& report, const std::string& name) {
    const nlohmann::json* s = source(report, name);
    return s ? (*s)["latency"].value("queries", uint64_t{0}) : 0;
  }
  bool panelShows(PresentationIntent intent) {
    auto shown = state();
    return shown && shown->visible && shown->intent == intent;
  }
};

TEST_F(StatusCommandTest, SearchesThroughThePanelShowInTheirSourcesLatency) {
  startAgent();
  // The first scan has finished once the catalog reports it as its last pass.
  nlohmann::json before;
  ASSERT_TRUE(pollUntil(
      [&] {
        before = status();
        const nlohmann::json* catalog = source(before, "catalog");
        return catalog && catalog->contains("lastPass") && catalog->value("items", 0) > 0;
      },
      std::chrono::seconds(30)))
      << "the agent never reported its first scan";
  EXPECT_TRUE(before["agentRunning"].get<bool>());
  const nlohmann::json& agentFigures = before["agent"];
  EXPECT_GT(agentFigures.value("residentBytes", 0), 1 << 20);
  EXPECT_GT(agentFigures.value("openFiles", 0), 3);
  EXPECT_GT(agentFigures.value("cpuSecondsTotal", 0.0), 0.0);
  EXPECT_LE(agentFigures.value("cpuSecondsLastHour", 0.0), agentFigures.value("cpuSecondsTotal", 0.0) + 0.01);
  EXPECT_EQ(source(before, "catalog")->at("lastPass").value("kind", ""), "full scan");
  // The three apps written here, and whatever the system lists.
  const int apps = source(before, "apps")->value("items", 0);
  EXPECT_GE(apps, 3);
  EXPECT_EQ(source(before, "files")->value("items", 0), 1);
  EXPECT_GT(source(before, "catalog")->value("diskBytes", 0), 0);
  EXPECT_FALSE(source(before, "catalog")->value("paused", true)) << before.dump();
  // The emoji catalog loads at start; it is counted and its memory measured before emoji mode opens.
  nlohmann::json loaded;
  EXPECT_TRUE(pollUntil([&] {
    loaded = status();
    const nlohmann::json* emoji = source(loaded, "emoji");
    return emoji && emoji->value("items", 0) > 1000;
  })) << loaded.dump();
  if (const nlohmann::json* emoji = source(loaded, "emoji")) {
    EXPECT_GT(emoji->value("memoryBytes", 0), 100 << 10) << loaded.dump();
    EXPECT_EQ(emoji->value("memoryMeasure", ""), "emoji catalog and its word lists");
  }

  // Apps: typing in the standard panel searches on every keystroke.
  const uint64_t appsBefore = queries(before, "apps");
  ASSERT_EQ(key("alt+space"), 0);
  ASSERT_TRUE(pollUntil([&] { return panelShows(PresentationIntent::standard); }));
  ASSERT_EQ(type("marker"), 0);
  nlohmann::json afterApps;
  EXPECT_TRUE(pollUntil([&] {
    afterApps = status();
    return queries(afterApps, "apps") >= appsBefore + 6;
  })) << afterApps.dump();
  const nlohmann::json& appsLatency = source(afterApps, "apps")->at("latency");
  EXPECT_GT(appsLatency.value("p95Ms", 0.0), 0.0);
  EXPECT_GE(appsLatency.value("p95Ms", 0.0), appsLatency.value("p50Ms", 0.0));
  // The open panel makes the agent active: full scans go on, none is paused for it.
  EXPECT_EQ(afterApps["agent"].value("workMode", ""), "active");
  EXPECT_FALSE(source(afterApps, "catalog")->value("paused", true));

  // Files: files mode searches the catalog once typing settles.
  const uint64_t filesBefore = queries(afterApps, "files");
  ASSERT_EQ(key("shift+alt+space"), 0);
  ASSERT_TRUE(pollUntil([&] { return panelShows(PresentationIntent::files); }));
  ASSERT_EQ(type("quarterly"), 0);
  nlohmann::json afterFiles;
  EXPECT_TRUE(pollUntil([&] {
    afterFiles = status();
    return queries(afterFiles, "files") > filesBefore;
  })) << afterFiles.dump();

  // The Status page shows the same report; its picture is kept for a look.
  fs::create_directories(PANEL_ARTEFACTS_DIR);
  const std::string picture = std::string(PANEL_ARTEFACTS_DIR) + "/settings-status.png";
  auto written =
      LockFileSingleInstance::request(dirs_.socketPath(), std::string(kAgentSettingsSnapshotRequest) + " " + picture);
  ASSERT_TRUE(written.ok()) << written.error().description();
  EXPECT_TRUE(decodePanelState(written.value()).ok()) << written.value();
  EXPECT_GT(fs::file_size(picture), 5000u);

  // The human form names the sources and the agent.
  ProcessResult human = result({PALLIX_BINARY, "status"});
  EXPECT_EQ(human.exitCode, 0) << human.err;
  EXPECT_NE(human.out.find("Agent (pid "), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("apps\n"), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("p50 "), std::string::npos) << human.out;

  // Without the agent: what the disk holds, and exit status 3.
  EXPECT_EQ(agent_->stop(), 0);
  agent_.reset();
  ProcessResult offline = result({PALLIX_BINARY, "status", "--json"});
  EXPECT_EQ(offline.exitCode, 3) << offline.err;
  EXPECT_NE(offline.err.find("not running"), std::string::npos) << offline.err;
  nlohmann::json disk = nlohmann::json::parse(offline.out, nullptr, false);
  ASSERT_TRUE(disk.is_object()) << offline.out;
  EXPECT_FALSE(disk["agentRunning"].get<bool>());
  EXPECT_FALSE(disk.contains("agent"));
  ASSERT_NE(source(disk, "apps"), nullptr) << offline.out;
  EXPECT_EQ(source(disk, "apps")->value("items", 0), apps);
  EXPECT_GT(source(disk, "catalog")->value("diskBytes", 0), 0);
  EXPECT_EQ(queries(disk, "apps"), 0u);
}

TEST_F(StatusCommandTest, TheHeadlessAgentAnswersToo) {
  BackgroundProcess daemon({PALLIX_BINARY, "daemon", "--quiet"}, env_);
  nlohmann::json report;
  ASSERT_TRUE(pollUntil(
      [&] {
        report = status();
        const nlohmann::json* catalog = source(report, "catalog");
        return catalog && catalog->contains("lastPass");
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(report["agent"].value("pid", 0), daemon.pid());
  // Hidden and without a panel the daemon idles; the first scan ran.
  EXPECT_NE(report["agent"].value("workMode", ""), "active");
  EXPECT_EQ(source(report, "catalog")->at("lastPass").value("outcome", ""), "completed");
}

}  // namespace
}  // namespace pallix
