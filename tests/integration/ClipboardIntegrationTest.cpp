// The clipboard history against a real X server: Xvfb started here, other
// applications played by xclip and helper processes, the history recorded
// by `pallix clipboard watch` and read back through `pallix clipboard`.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "app/platform/Pasteboard.h"
#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/X11Pasteboard.h"
#include "core/FileUtil.h"
#include "core/Strings.h"
#include "testing/TestProcess.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {
namespace {

std::string pngBytes(size_t size) {
  std::string bytes = "\x89PNG\r\n\x1a\n";
  bytes.resize(size, '\0');
  for (size_t i = 8; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  return bytes;
}

class ClipboardIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "xclip"}) {
      if (findInPath(tool).empty())
        GTEST_SKIP() << tool << " is not installed (scripts/setup.sh installs xvfb and xclip)";
    }
    ASSERT_TRUE(display.ok()) << display.failure();
    ASSERT_EQ(pallix({"defaults", "write", "ClipboardPreferences.historyEnabled", "true"}).exitCode, 0);
    // The watcher logs its errors: tests read what it says of a failed read.
    auto watcherEnv = env();
    watcherEnv["PALLIX_LOG"] = "error";
    watcher =
        std::make_unique<BackgroundProcess>(std::vector<std::string>{PALLIX_BINARY, "clipboard", "watch"}, watcherEnv);
    ASSERT_TRUE(watcher->waitForOutput("watching the clipboard"));
  }

  std::map<std::string, std::string> env() const {
    return {{"PALLIX_HOME", home.path()}, {"DISPLAY", display.name()}, {"PALLIX_LOG", "off"}};
  }
  ProcessResult pallix(std::vector<std::string> args) {
    args.insert(args.begin(), PALLIX_BINARY);
    return runProcess(args, env());
  }
  // xclip forks a server that keeps the clipboard: its output goes nowhere.
  void xclip(const std::string& target, const std::string& bytes) {
    const std::string file = home.write("copy.bin", bytes);
    ASSERT_EQ(
        runProcess({"sh", "-c", "xclip -selection clipboard -t '" + target + "' " + file + " >/dev/null 2>&1"}, env())
            .exitCode,
        0);
  }
  std::string paste(const std::string& target) {
    return runProcess({"xclip", "-selection", "clipboard", "-o", "-t", target}, env()).out;
  }
  // Another application copying several types at once.
  void copyItem(const PasteboardItem& item) {
    // The helper keeps serving after it answered: it runs in the background.
    const std::string file = home.write("item.bin", encodePasteboardItem(item));
    const std::string answer = home / "answer.txt";
    ASSERT_EQ(
        runProcess(
            {"sh", "-c", std::string(PALLIX_BINARY) + " clipboard serve < " + file + " > " + answer + " 2>/dev/null &"},
            env())
            .exitCode,
        0);
    ASSERT_TRUE(pollUntil([&] { return startsWith(readFileToString(answer).valueOr(""), "ok"); }));
  }
  nlohmann::json history() {
    return nlohmann::json::parse(pallix({"clipboard", "list", "--json"}).out, nullptr, false);
  }
  size_t historySize() {
    auto h = history();
    return h.is_array() ? h.size() : 0;
  }
  // Copies a plain text and waits until it is item 1: everything copied
  // before it has been seen by the watcher by then.
  void copyMarkerAndWait(const std::string& text) {
    xclip("UTF8_STRING", text);
    ASSERT_TRUE(pollUntil([&] {
      auto h = history();
      return h.is_array() && !h.empty() && h[0]["primaryText"] == text;
    })) << history().dump()
        << "\nthe watcher said:\n"
        << watcher->errorOutput();
  }

  TempDir home;
  XvfbDisplay display;
  std::unique_ptr<BackgroundProcess> watcher;
};

TEST_F(ClipboardIntegrationTest, CapturesEachKindOnceAndReusesWithoutRecapture) {
  copyMarkerAndWait("hello");
  xclip("text/html", "<b>bold</b>");
  ASSERT_TRUE(pollUntil([&] { return historySize() == 2; }));
  const std::string image = pngBytes(300000);  // larger than one X request: INCR
  xclip("image/png", image);
  ASSERT_TRUE(pollUntil([&] { return historySize() == 3; }));
  copyItem({{{"text/html", "<i>both</i>"}, {"text/plain;charset=utf-8", "both"}}});
  ASSERT_TRUE(pollUntil([&] { return historySize() == 4; })) << history().dump(1);
  copyMarkerAndWait("hello");  // de-duplicated: moved to the top

  auto h = history();
  ASSERT_EQ(h.size(), 4u) << h.dump(1);
  EXPECT_EQ(h[1]["contentKind"], "richText");
  EXPECT_EQ(h[1]["primaryText"], "both") << h.dump(1);
  std::vector<std::string> types;
  for (const auto& r : h[1]["representations"]) types.push_back(r["typeIdentifier"]);
  EXPECT_EQ(types, (std::vector<std::string>{"text/html", "text/plain;charset=utf-8", "UTF8_STRING"}));
  EXPECT_EQ(h[2]["contentKind"], "image");
  EXPECT_EQ(h[2]["representations"][0]["byteCount"], image.size());
  EXPECT_EQ(h[3]["contentKind"], "richText");

  // Reuse puts every type back; the watcher sees the marker and records nothing.
  ASSERT_EQ(pallix({"clipboard", "copy", "3"}).exitCode, 0);
  EXPECT_EQ(paste("image/png"), image);
  EXPECT_NE(paste("TARGETS").find("org.pallix.internalCopyMarker"), std::string::npos);
  copyMarkerAndWait("after reuse");
  h = history();
  ASSERT_EQ(h.size(), 5u) << h.dump(1);
  EXPECT_EQ(h[1]["contentKind"], "image");
  EXPECT_EQ(pallix({"clipboard", "search", "BOTH"}).exitCode, 0);
}

TEST_F(ClipboardIntegrationTest, SecretsEmptyClipboardsAndDyingOwnersRecordNothing) {
  copyMarkerAndWait("first");
  copyItem({{{"text/plain;charset=utf-8", "hunter2"}, {"x-kde-passwordManagerHint", "secret"}}});
  // The owner of "first" ends: the clipboard is empty.
  BackgroundProcess owner({"xclip", "-selection", "clipboard", "-quiet", "-loops", "1", "/dev/null"}, env());
  ASSERT_TRUE(owner.running());
  owner.stop();
  {
    BackgroundProcess hostile({HOSTILE_OWNER_BINARY}, env());
    ASSERT_EQ(hostile.readLine(), "ready");
    EXPECT_EQ(hostile.waitForExit(), 0);  // it dies on the watcher's first request for its image
  }
  copyMarkerAndWait("last");
  auto h = history();
  ASSERT_EQ(h.size(), 2u) << h.dump(1);
  EXPECT_EQ(h[1]["primaryText"], "first");
  // A second recorder is refused rather than recording every copy twice.
  auto second = pallix({"clipboard", "watch"});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("already recording"), std::string::npos) << second.err;
  EXPECT_EQ(h.dump().find("hunter2"), std::string::npos);
  EXPECT_EQ(pallix({"clipboard", "search", "hunter2"}).exitCode, 1);
  EXPECT_EQ((watcher->output() + watcher->errorOutput()).find("hunter2"), std::string::npos);
}

TEST_F(ClipboardIntegrationTest, TheAgentRecordsTheClipboardWhenNoWatcherDoes) {
  watcher->stop();
  auto agentEnv = env();
  agentEnv["PALLIX_LOG"] = "info";
  BackgroundProcess agent({PALLIX_BINARY, "daemon"}, agentEnv);
  ASSERT_TRUE(agent.waitForOutput("running (pid", std::chrono::seconds(30)));
  copyMarkerAndWait("copied while the agent runs");
  // The agent holds the recorder's place: a watcher started now says so.
  auto second = pallix({"clipboard", "watch"});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("already recording"), std::string::npos) << second.err;
}

// Turning the history off with another command reaches a running recorder
// within a second; what is copied afterwards is not recorded.
constexpr std::chrono::seconds kSettingTakesEffect{1};
constexpr const char* kAgentHeardTheSwitch = "settings changed by another process: ClipboardPreferences.historyEnabled";

TEST_F(ClipboardIntegrationTest, TurningTheHistoryOffElsewhereStopsTheWatcherWithinASecond) {
  // The agent runs beside the watcher (which keeps the recorder's place).
  auto agentEnv = env();
  agentEnv["PALLIX_LOG"] = "info";
  BackgroundProcess agent({PALLIX_BINARY, "daemon"}, agentEnv);
  ASSERT_TRUE(agent.waitForOutput("running (pid", std::chrono::seconds(30)));
  copyMarkerAndWait("copied while on");

  ASSERT_EQ(pallix({"defaults", "write", "ClipboardPreferences.historyEnabled", "false"}).exitCode, 0);
  EXPECT_TRUE(watcher->waitForOutput("the clipboard history is off", kSettingTakesEffect)) << watcher->errorOutput();
  EXPECT_TRUE(agent.waitForOutput(kAgentHeardTheSwitch, kSettingTakesEffect)) << agent.errorOutput();
  xclip("UTF8_STRING", "copied while off");
  EXPECT_FALSE(pollUntil([&] { return history().dump().find("copied while off") != std::string::npos; },
                         std::chrono::seconds(1)));
  EXPECT_EQ(historySize(), 1u) << history().dump(1);
  EXPECT_TRUE(watcher->running());

  // Turned on again, it records again.
  ASSERT_EQ(pallix({"defaults", "write", "ClipboardPreferences.historyEnabled", "true"}).exitCode, 0);
  EXPECT_TRUE(watcher->waitForOutput("the clipboard history is on again", kSettingTakesEffect));
  copyMarkerAndWait("copied when on again");
}

TEST_F(ClipboardIntegrationTest, TurningTheHistoryOffElsewhereStopsTheAgentWithinASecond) {
  watcher->stop();
  auto agentEnv = env();
  agentEnv["PALLIX_LOG"] = "info";
  BackgroundProcess agent({PALLIX_BINARY, "daemon"}, agentEnv);
  ASSERT_TRUE(agent.waitForOutput("running (pid", std::chrono::seconds(30)));
  copyMarkerAndWait("recorded by the agent");

  ASSERT_EQ(pallix({"defaults", "write", "ClipboardPreferences.historyEnabled", "false"}).exitCode, 0);
  EXPECT_TRUE(agent.waitForOutput(kAgentHeardTheSwitch, kSettingTakesEffect)) << agent.errorOutput();
  xclip("UTF8_STRING", "copied while off");
  EXPECT_FALSE(pollUntil([&] { return history().dump().find("copied while off") != std::string::npos; },
                         std::chrono::seconds(1)));
  EXPECT_EQ(historySize(), 1u) << history().dump(1);
}

TEST_F(ClipboardIntegrationTest, AnOwnerDyingMidTransferIsAClearError) {
  watcher->stop();
  BackgroundProcess hostile({HOSTILE_OWNER_BINARY}, env());
  ASSERT_EQ(hostile.readLine(), "ready");
  X11Pasteboard::Options options;
  options.display = display.name();
  options.ownerTimeout = std::chrono::milliseconds(300);
  auto board = X11Pasteboard::connect(options);
  ASSERT_TRUE(board.ok()) << board.error().description();
  auto item = board.value()->readItem();
  ASSERT_FALSE(item.ok());
  EXPECT_EQ(item.error().description(),
            "Abandoned the transfer of \"image/png\": the clipboard changed owner during it");
  // With the owner gone the clipboard is empty.
  ASSERT_TRUE(pollUntil([&] { return board.value()->changeCount() > 0; }));
  EXPECT_FALSE(board.value()->readItem().value());
}

// After each owner that breaks the rules, the watcher logs which transfer it
// abandoned, stores nothing of it, and records the next copies byte for byte
// (also while a stalled owner writes its late chunks into the property it
// was once asked to use).
// A read given up (the owner was slow, or the clipboard changed hands) must
// not kill the owner that answers it afterwards, taking the clipboard along.
TEST_F(ClipboardIntegrationTest, AnOwnerAnsweringAfterTheReadGaveUpLivesOn) {
  ProcessOptions options;
  options.inputPipe = true;
  BackgroundProcess late({HOSTILE_OWNER_BINARY, "late"}, env(), options);
  ASSERT_EQ(late.readLine(), "ready");
  ASSERT_EQ(late.readLine(), "asked");
  ASSERT_TRUE(watcher->waitForOutput(
      "Abandoned the transfer of \"UTF8_STRING\": the clipboard owner sent nothing for 2.0 s (no answer)"))
      << watcher->errorOutput();
  ASSERT_TRUE(late.writeInput("answer\n"));
  EXPECT_EQ(late.readLine(), "answered");
  copyMarkerAndWait("after the late answer");
  EXPECT_EQ(late.waitForExit(), 0);
}

TEST_F(ClipboardIntegrationTest, AfterEachHostileOwnerTheNextCopiesAreRecordedWhole) {
  struct Case {
    const char* mode;
    const char* logged;
  };
  const Case cases[] = {
      {"stall",
       "Abandoned the transfer of \"UTF8_STRING\": the clipboard owner sent nothing for 2.0 s after 65536 of the "
       "1048576 bytes announced"},
      {"short",
       "Abandoned the transfer of \"UTF8_STRING\": the clipboard owner ended it after 196608 of the 1048576 bytes "
       "announced"},
      {"garbled",
       "Abandoned the transfer of \"UTF8_STRING\": the clipboard owner sent a garbled chunk (format 32) after 131072 "
       "of the 1048576 bytes announced"},
      {"garbage-targets", "The clipboard owner's list of types (TARGETS) is garbled: 7 bytes of format 8"},
      {"change-owner", "Abandoned the transfer of \"UTF8_STRING\": the clipboard changed owner during it"},
      {"die", "Abandoned the transfer of \"image/png\": the clipboard changed owner during it"},
  };
  size_t expectedItems = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string mode = c.mode;
    BackgroundProcess hostile({HOSTILE_OWNER_BINARY, mode}, env());
    ASSERT_EQ(hostile.readLine(), "ready");
    ASSERT_TRUE(watcher->waitForOutput(c.logged, std::chrono::seconds(10))) << watcher->errorOutput();
    if (mode == "change-owner") {
      // The second owner's text is what the clipboard holds: it is recorded.
      ASSERT_TRUE(pollUntil([&] {
        auto h = history();
        return h.is_array() && !h.empty() && h[0]["primaryText"] == "text of the second owner";
      })) << history().dump(1);
      ++expectedItems;
    }
    // Larger than one X request: the copy comes in INCR chunks.
    std::string copied = "copied after " + mode + "\n";
    for (int i = 0; copied.size() < 300000; ++i) copied += std::to_string(i) + " ";
    xclip("UTF8_STRING", copied);
    ASSERT_TRUE(pollUntil([&] {
      auto h = history();
      return h.is_array() && !h.empty() && h[0]["primaryText"].get<std::string>().starts_with("copied after " + mode);
    })) << history().dump(1);
    EXPECT_EQ(history()[0]["representations"][0]["byteCount"], copied.size());
    if (mode == "stall") {
      EXPECT_EQ(hostile.readLine(), "gone");  // it has written its late chunks
    }
    copyMarkerAndWait("small text after " + mode);
    expectedItems += 2;
    ASSERT_EQ(pallix({"clipboard", "copy", "2"}).exitCode, 0);
    EXPECT_TRUE(paste("UTF8_STRING") == copied) << "the copy after " << mode << " was not stored byte for byte";
  }
  auto h = history();
  EXPECT_EQ(h.size(), expectedItems) << h.dump(1);
  for (const auto& item : h) {
    EXPECT_FALSE(item["primaryText"].get<std::string>().starts_with("abcdefghijklmnopqrstuvwxyz")) << item.dump(1);
  }
}

TEST_F(ClipboardIntegrationTest, ATwentyMegabyteImageIsRecordedAndServedWhole) {
  const std::string image = pngBytes(20 << 20);
  xclip("image/png", image);
  ASSERT_TRUE(pollUntil([&] { return historySize() == 1; }, std::chrono::seconds(30))) << watcher->errorOutput();
  EXPECT_EQ(history()[0]["representations"][0]["byteCount"], image.size());
  copyMarkerAndWait("text");
  ASSERT_EQ(pallix({"clipboard", "copy", "2"}).exitCode, 0);
  EXPECT_TRUE(paste("image/png") == image);
  ASSERT_EQ(pallix({"clipboard", "delete", "1"}).exitCode, 0);
  EXPECT_EQ(historySize(), 1u);
  ASSERT_EQ(pallix({"clipboard", "clear"}).exitCode, 0);
  EXPECT_EQ(historySize(), 0u);
  EXPECT_EQ(pallix({"clipboard", "list"}).exitCode, 1);
}

}  // namespace
}  // namespace pallix::testing
