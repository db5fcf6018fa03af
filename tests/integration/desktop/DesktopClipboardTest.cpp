// Clipboard mode on a real X server under openbox: another application
// (xclip) copies a file, an image and a link; the panel's rows then show the
// file's name and path, the image's thumbnail and pixel size, the link's
// page title and site icon (served by a web server on 127.0.0.1), and the
// detail pane follows the selection. The panel is read through its snapshot
// and the JSON of what it shows beside it; `pallix clipboard list --json`
// states the same facts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/platform/DataDirectories.h"
#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/LockFileSingleInstance.h"
#include "app/shell/PanelRequests.h"
#include "core/FileUtil.h"
#include "testing/TestProcess.h"
#include "tests/integration/desktop/DesktopTestHome.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;
using testing::BackgroundProcess;
using testing::pollUntil;

class DesktopClipboardTest : public testing::DesktopAgentTest {
 protected:
  void SetUp() override {
    extraEnvironment_ = {{"PALLIX_ICON_THEME", "Adwaita"}};
    DesktopAgentTest::SetUp();
    if (IsSkipped()) return;
    for (const char* tool : {"openbox", "xclip", "xdotool", "python3"}) {
      if (findInPath(tool).empty()) GTEST_SKIP() << tool << " is not installed (scripts/setup.sh installs it)";
    }
    std::ofstream(dirs_.defaultsPath()) << nlohmann::json{{"ClipboardPreferences.historyEnabled", true}}.dump();
    startWindowManager();
  }

  // xclip, as the application that copied, owns the clipboard with `file`'s bytes.
  void copyFile(const std::string& file, const std::string& type) {
    ASSERT_EQ(run({"sh", "-c", "xclip -selection clipboard -t " + type + " " + file + " >/dev/null 2>&1"}), 0);
  }
  nlohmann::json listed() {
    testing::ProcessResult r = testing::runProcess({PALLIX_BINARY, "clipboard", "list", "--json"}, env_);
    return nlohmann::json::parse(r.out, nullptr, false);
  }
  bool newestIs(const std::string& kind) {
    auto items = listed();
    return items.is_array() && !items.empty() && items[0]["contentKind"] == kind;
  }
  // The panel's picture and what it shows, written now.
  nlohmann::json shown(const std::string& name) {
    fs::create_directories(PANEL_ARTEFACTS_DIR);
    const std::string path = std::string(PANEL_ARTEFACTS_DIR) + "/" + name + ".png";
    if (!state(std::string(kAgentSnapshotRequest) + " " + path)) return nullptr;
    return nlohmann::json::parse(readFileToString(path + ".json").valueOr(""), nullptr, false);
  }
  // The first section's rows, or none while a snapshot has no such section
  // yet (indexing a const json by a missing key is undefined).
  static const nlohmann::json& rows(const nlohmann::json& panel) {
    static const nlohmann::json none = nlohmann::json::array();
    if (!panel.is_object() || !panel.contains("sections") || !panel["sections"].is_array() ||
        panel["sections"].empty() || !panel["sections"][0].contains("rows"))
      return none;
    return panel["sections"][0]["rows"];
  }
};

TEST_F(DesktopClipboardTest, RowsShowAFilesPathAnImagesSizeAndALinksTitleAndTheDetailPaneFollowsTheSelection) {
  const std::string requests = home_ + "/requests.log";
  BackgroundProcess server({"python3", LINK_PREVIEW_SERVER, requests}, env_);
  const std::string port = server.readLine();
  ASSERT_FALSE(port.empty()) << "the fixture server did not start";
  startAgent();

  fs::create_directories(home_ + "/Documents");
  const std::string document = home_ + "/Documents/Quarterly report.pdf";
  std::ofstream(document) << "%PDF-1.4";
  std::ofstream(home_ + "/uris") << "file://" << home_ << "/Documents/Quarterly%20report.pdf\r\n";
  copyFile(home_ + "/uris", "text/uri-list");
  ASSERT_TRUE(pollUntil([&] { return newestIs("file"); })) << listed().dump();

  const std::string picture = home_ + "/picture.png";
  ASSERT_EQ(run({"python3", LINK_PREVIEW_SERVER, "--write-png", picture, "640", "480"}), 0);
  copyFile(picture, "image/png");
  ASSERT_TRUE(pollUntil([&] { return newestIs("image"); })) << listed().dump();

  const std::string url = "http://127.0.0.1:" + port + "/article";
  std::ofstream(home_ + "/link.txt") << url;
  copyFile(home_ + "/link.txt", "UTF8_STRING");
  ASSERT_TRUE(pollUntil([&] { return newestIs("link"); })) << listed().dump();
  EXPECT_EQ(readFileToString(requests).valueOr(""), "") << "copying asked the page for its preview";

  ASSERT_EQ(run({"xdotool", "key", "shift+super+v"}), 0);
  ASSERT_TRUE(pollUntil([&] {
    auto s = state();
    return s && s->visible && s->intent == PresentationIntent::clipboard;
  }));
  // The preview and the bytes arrive after the rows: the panel shows them without a keystroke.
  nlohmann::json panel;
  ASSERT_TRUE(pollUntil(
      [&] {
        panel = shown("clipboard-rows-link");
        return panel.is_object() && rows(panel).size() == 3 &&
               rows(panel)[0].value("title", std::string()) == "A field guide to gulls" &&
               rows(panel)[0].value("tileImageBytes", 0) > 0 && rows(panel)[1].value("tileImageBytes", 0) > 0 &&
               !rows(panel)[2].value("tileIconPath", std::string()).empty();
      },
      std::chrono::seconds(20)))
      << panel.dump();
  ASSERT_TRUE(panel.is_object());
  EXPECT_EQ(rows(panel)[0]["detail"].get<std::string>().rfind(url + " \u00b7 ", 0), 0u) << panel.dump();
  EXPECT_EQ(rows(panel)[1]["title"], "PNG image \u00b7 640\u00d7480");
  EXPECT_EQ(rows(panel)[2]["title"], "Quarterly report.pdf");
  EXPECT_EQ(rows(panel)[2]["tileIconPath"], document);
  EXPECT_NE(rows(panel)[2]["detail"].get<std::string>().find(document), std::string::npos);
  // The newest row is selected: the detail pane shows the link's title, URL and preview image.
  ASSERT_TRUE(panel["detail"].is_object()) << panel.dump();
  EXPECT_EQ(panel["detail"]["heading"], "A field guide to gulls");
  EXPECT_EQ(panel["detail"]["text"], url);
  EXPECT_GT(panel["detail"]["imageBytes"], 0);
  EXPECT_NE(readFileToString(requests).valueOr("").find("/article\n"), std::string::npos);

  // Down selects the image: the pane shows it at size.
  ASSERT_EQ(run({"xdotool", "key", "Down"}), 0);
  EXPECT_TRUE(pollUntil([&] {
    panel = shown("clipboard-detail-image");
    return panel.is_object() && panel["detail"].is_object() &&
           panel["detail"]["heading"] == "PNG image \u00b7 640\u00d7480";
  })) << panel.dump();
  EXPECT_EQ(panel["detail"]["facts"]["Size"], "640\u00d7480 pixels");
  EXPECT_GT(panel["detail"]["imageBytes"], 0);
  ASSERT_EQ(run({"xdotool", "key", "Down"}), 0);
  EXPECT_TRUE(pollUntil([&] {
    panel = shown("clipboard-detail-file");
    return panel.is_object() && panel["detail"].is_object() && panel["detail"]["text"] == document;
  })) << panel.dump();

  // The command line states the same facts.
  auto items = listed();
  ASSERT_TRUE(items.is_array() && items.size() == 3) << items.dump();
  EXPECT_EQ(items[0]["linkTitle"], "A field guide to gulls");
  EXPECT_EQ(items[0]["title"], "A field guide to gulls");
  EXPECT_EQ(items[0]["detectedURLString"], url);
  EXPECT_EQ(items[1]["imageFormat"], "PNG");
  EXPECT_EQ(items[1]["pixelWidth"], 640);
  EXPECT_EQ(items[1]["pixelHeight"], 480);
  EXPECT_EQ(items[2]["filePath"], document);
  EXPECT_EQ(items[2]["age"], "just now");
  testing::ProcessResult text = testing::runProcess({PALLIX_BINARY, "clipboard", "list"}, env_);
  EXPECT_NE(text.out.find("PNG image \u00b7 640\u00d7480"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("A field guide to gulls  <" + url + ">"), std::string::npos) << text.out;
}

// With previews turned off nothing is fetched, and the link shows as copied.
TEST_F(DesktopClipboardTest, WithPreviewsOffALinkShownInClipboardModeIsNotFetched) {
  std::ofstream(dirs_.defaultsPath()) << nlohmann::json{
      {"ClipboardPreferences.historyEnabled", true},
      {"ClipboardPreferences.linkPreviewsEnabled",
       false}}.dump();
  const std::string requests = home_ + "/requests.log";
  BackgroundProcess server({"python3", LINK_PREVIEW_SERVER, requests}, env_);
  const std::string port = server.readLine();
  ASSERT_FALSE(port.empty()) << "the fixture server did not start";
  startAgent();
  const std::string url = "http://127.0.0.1:" + port + "/article";
  std::ofstream(home_ + "/link.txt") << url;
  copyFile(home_ + "/link.txt", "UTF8_STRING");
  ASSERT_TRUE(pollUntil([&] { return newestIs("link"); })) << listed().dump();
  ASSERT_EQ(run({"xdotool", "key", "shift+super+v"}), 0);
  nlohmann::json panel;
  ASSERT_TRUE(pollUntil([&] {
    panel = shown("clipboard-previews-off");
    return panel.is_object() && panel["sections"].size() == 1 && !rows(panel).empty() &&
           rows(panel)[0].value("title", std::string()) == url;
  })) << panel.dump();
  // The settled panel (the snapshot waits for the session's work) asked for nothing.
  EXPECT_EQ(rows(panel)[0]["tileImageBytes"], 0);
  EXPECT_EQ(readFileToString(requests).valueOr(""), "");
}

// Search by meaning in the running agent: with the preference on and a model
// installed (the tiny test model, which knows no meanings but gives every
// text a vector), copied texts are embedded in the background and a query
// that no text contains still lists them, marked.
TEST_F(DesktopClipboardTest, WithSearchByMeaningOnCopiedTextsAreEmbeddedAndFoundMarkedByAQueryTheyDoNotContain) {
  std::ofstream(dirs_.defaultsPath()) << nlohmann::json{
      {"ClipboardPreferences.historyEnabled", true},
      {"ClipboardPreferences.semanticSearchEnabled",
       true}}.dump();
  const char* data = std::getenv("PALLIX_TEST_DATA");
  const std::string model = std::string(data ? data : "tests/data") + "/embeddings/tiny_bert";
  testing::ProcessResult installed = testing::runProcess({PALLIX_BINARY, "model", "install", model}, env_);
  ASSERT_EQ(installed.exitCode, 0) << installed.err;
  startAgent();
  const std::vector<std::string> texts = {"Meeting moved to Thursday 3pm in room 4B", "pizza for dinner",
                                          "call Anna back"};
  for (size_t i = 0; i < texts.size(); ++i) {
    std::ofstream(home_ + "/text.txt") << texts[i];
    copyFile(home_ + "/text.txt", "UTF8_STRING");
    ASSERT_TRUE(pollUntil([&] {
      auto items = listed();
      return items.is_array() && items.size() == i + 1;
    })) << listed().dump();
  }
  ASSERT_EQ(run({"xdotool", "key", "shift+super+v"}), 0);
  ASSERT_TRUE(pollUntil([&] {
    auto s = state();
    return s && s->visible && s->intent == PresentationIntent::clipboard;
  }));
  ASSERT_EQ(run({"xdotool", "type", "--delay", "15", "appointment time"}), 0);
  // The rows of a prefix ("a" is in some texts) are not the ones looked for.
  ASSERT_TRUE(pollUntil([&] {
    auto s = state();
    return s && s->text == "appointment time";
  }));
  nlohmann::json panel;
  ASSERT_TRUE(pollUntil(
      [&] {
        panel = shown("clipboard-by-meaning");
        return !rows(panel).empty();
      },
      std::chrono::seconds(30)))
      << panel.dump();
  for (const auto& row : rows(panel)) {
    EXPECT_EQ(row["detail"].get<std::string>().rfind("Similar meaning \u00b7 ", 0), 0u) << row.dump();
  }
}

}  // namespace
}  // namespace pallix
