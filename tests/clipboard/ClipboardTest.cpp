// The clipboard: what a capture derives from a pasteboard item, the link
// preview files, the service that records, reuses, expires and previews, the
// search over its history, and the source application of a capture.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "app/clipboard/ClipboardCapture.h"
#include "app/clipboard/ClipboardLinkPreviewStore.h"
#include "app/clipboard/ClipboardModeSearchProvider.h"
#include "app/clipboard/ClipboardSearchIndex.h"
#include "app/clipboard/ClipboardService.h"
#include "app/platform/DesktopApplicationResolver.h"
#include "core/ContentDigest.h"
#include "core/FileUtil.h"
#include "core/Telemetry.h"
#include "testing/FakePasteboard.h"
#include "testing/VirtualTime.h"
#include "tests/clipboard/ClipboardTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

std::vector<ClipboardRepresentation> reps(const PasteboardItem& item) {
  return extractRepresentations(item);
}

// Long text is kept whole but displayed short (500 code points).
TEST(ClipboardCaptureTest, PrimaryTextPrefersPlainTextThenRtfThenHtmlAndIsShortened) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += i % 2 ? "é" : "a";
  ASSERT_EQ(reps({{{kPlainTextUtf8Type, text}}}).at(0).data, text);
  ASSERT_EQ(truncateCodePoints(text, 500).size(), 750u);
  struct Case {
    const char* name;
    PasteboardItem item;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"plain first", {{{"text/html", "<b>bold</b>"}, {"UTF8_STRING", "  plain \n"}}}, "plain"},
      {"empty plain skipped", {{{"text/plain", "   "}, {"text/plain;charset=utf-8", "second"}}}, "second"},
      {"rtf before html",
       {{{"text/html", "<p>html</p>"}, {"text/rtf", "{\\rtf1{\\fonttbl{\\f0 Arial;}}\\f0 Caf\\'e9 \\u8364?\\par}"}}},
       "Café €"},
      {"html entities", {{{"text/html", "<style>x{}</style><p>a &amp; b&#33;</p>"}}}, "a & b!"},
      {"image only", {{{"image/png", "\x89PNG"}}}, std::nullopt},
      {"long text", {{{kPlainTextUtf8Type, text}}}, truncateCodePoints(text, 500)},
  };
  for (const Case& c : cases) EXPECT_EQ(derivePrimaryText(reps(c.item)), c.expected) << c.name;
}

TEST(ClipboardCaptureTest, LinksAreDetectedAndValidated) {
  struct Case {
    std::string text;
    std::optional<std::string> link;
  };
  const Case cases[] = {
      {"see https://example.com/a?b=1.", "https://example.com/a?b=1"},
      {"(www.example.org/path)", "http://www.example.org/path"},
      {"https://en.wikipedia.org/wiki/Foo_(bar)", "https://en.wikipedia.org/wiki/Foo_(bar)"},
      {"ftp://example.com/file", std::nullopt},
      {"javascript:alert(1)", std::nullopt},
      {"http://nodot/", std::nullopt},
      {"http://localhost:8080/x", "http://localhost:8080/x"},
      {"plain words", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(detectLink(c.text), c.link) << c.text;
  // A URL representation wins over the text.
  auto r = reps({{{"text/uri-list", "# comment\r\nhttps://a.example/x\r\n"}, {"UTF8_STRING", "https://b.example"}}});
  EXPECT_EQ(deriveURL(r, derivePrimaryText(r)), "https://a.example/x");
}

TEST(ClipboardCaptureTest, ContentKindFirstMatchWins) {
  struct Case {
    const char* name;
    PasteboardItem item;
    ClipboardContentKind kind;
  };
  const Case cases[] = {
      {"link beats image", {{{"image/png", "x"}, {"UTF8_STRING", "https://example.com"}}}, ClipboardContentKind::link},
      {"image", {{{"image/png", "x"}}}, ClipboardContentKind::image},
      {"files", {{{"text/uri-list", "file:///home/a.txt\n"}}}, ClipboardContentKind::file},
      {"rich", {{{"text/html", "<i>x</i>"}}}, ClipboardContentKind::richText},
      {"text", {{{"STRING", "x"}}}, ClipboardContentKind::text},
      {"unknown", {{{"application/x-thing", "x"}}}, ClipboardContentKind::unknown},
  };
  for (const Case& c : cases) {
    auto r = reps(c.item);
    auto primary = derivePrimaryText(r);
    EXPECT_EQ(determineContentKind(r, deriveURL(r, primary), primary), c.kind) << c.name;
  }
}

TEST(ClipboardCaptureTest, HashIsDeterministicAndSkipsTheEmojiMarker) {
  PasteboardItem a{{{"text/html", "<b>x</b>"}, {"UTF8_STRING", "x"}}};
  PasteboardItem b{{{"UTF8_STRING", "x"}, {"text/html", "<b>x</b>"}, {kEmojiMarkerType, ""}}};
  EXPECT_TRUE(reps({{{"UTF8_STRING", ""}}}).empty());
  EXPECT_EQ(computeHash(reps(a)), computeHash(reps(b)));
  EXPECT_NE(computeHash(reps(a)), computeHash(reps({{{"text/html", "<b>y</b>"}, {"UTF8_STRING", "x"}}})));
  // Bytes moving between two types change the hash.
  EXPECT_NE(computeHash(reps({{{"a", "xy"}, {"b", "z"}}})), computeHash(reps({{{"a", "x"}, {"b", "yz"}}})));
  EXPECT_EQ(computeHash({}), std::nullopt);
}

struct PreviewFixture {
  explicit PreviewFixture(int maxEntries = 5) : store(dir.path(), maxEntries, clock) {}
  testing::TempDir dir;
  ManualClock clock;
  ClipboardLinkPreviewStore store;

  ClipboardLinkPreviewPayload payload(const std::string& url) {
    ClipboardLinkPreviewPayload p;
    p.urlString = url;
    p.canonicalURLString = ClipboardLinkPreviewStore::canonicalURLString(url);
    p.title = "Title of " + url;
    p.createdAt = secondsSince2001(clock.wallNow());
    return p;
  }
  size_t fileCount() {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(store.directory())) n += e.path().extension() == ".json";
    return n;
  }
};

TEST(ClipboardLinkPreviewStoreTest, FileIsSortedKeyJsonNamedBySha256OfTheCanonicalLink) {
  PreviewFixture f;
  f.clock.setWallNow(dateFromSecondsSince1970(kSecondsFrom1970To2001 + 100));
  auto p = f.payload(" HTTPS://Example.com/A ");
  p.iconImageData = std::string("\x00\xff\x10", 3);
  ASSERT_TRUE(f.store.savePreview(p).ok());
  const std::string path = f.dir.path() + "/ClipboardLinkPreviews/" + sha256Hex("https://example.com/a") + ".json";
  EXPECT_EQ(f.store.filePath("https://example.com/a"), path);
  EXPECT_EQ(
      readFileToString(path).value(),
      R"({"canonicalURLString":"https://example.com/a","createdAt":100.0,"iconImageData":"AP8Q",)"
      R"("lastAccessedAt":100.0,"title":"Title of  HTTPS://Example.com/A ","urlString":" HTTPS://Example.com/A "})");
  // Canonical forms of a link share the file; other links do not.
  auto loaded = f.store.loadPreview("https://example.com/A  ");
  ASSERT_TRUE(loaded.ok() && loaded.value());
  EXPECT_EQ(loaded.value()->title, "Title of  HTTPS://Example.com/A ");
  EXPECT_FALSE(f.store.loadPreview("https://example.com/b").value());
}

TEST(ClipboardLinkPreviewStoreTest, PruningKeepsTheMostRecentlyUsedAndAtLeastOne) {
  for (int maxEntries : {5, 0}) {
    PreviewFixture f(maxEntries);
    const int kept = std::max(maxEntries, 1);
    for (int i = 0; i < kept; ++i) {
      f.clock.advance(seconds(1));
      ASSERT_TRUE(f.store.savePreview(f.payload("https://e.example/" + std::to_string(i))).ok());
    }
    f.clock.advance(seconds(1));
    ASSERT_TRUE(f.store.loadPreview("https://e.example/0").value());  // now the most recent
    f.clock.advance(seconds(1));
    ASSERT_TRUE(f.store.savePreview(f.payload("https://e.example/new")).ok());
    EXPECT_EQ(f.fileCount(), static_cast<size_t>(kept)) << maxEntries;
    EXPECT_EQ(f.store.loadPreview("https://e.example/0").value().has_value(), kept > 1) << maxEntries;
    if (kept > 1) {
      EXPECT_FALSE(f.store.loadPreview("https://e.example/1").value());
    }
  }
}

TEST(ClipboardLinkPreviewStoreTest, CorruptFilesFailToLoadAndArePrunedAway) {
  PreviewFixture f;
  ASSERT_TRUE(f.store.savePreview(f.payload("https://ok.example")).ok());
  const char* corruptions[] = {"", "{", "[]", R"({"urlString":"x"})",
                               R"({"urlString":"x","canonicalURLString":"x","createdAt":1,"lastAccessedAt":1,)"
                               R"("previewImageData":"*not base64*"})"};
  for (const char* text : corruptions) {
    ASSERT_TRUE(writeFileAtomically(f.store.filePath("https://bad.example"), text).ok());
    EXPECT_FALSE(f.store.loadPreview("https://bad.example").ok()) << text;
  }
  ASSERT_TRUE(f.store.savePreview(f.payload("https://other.example")).ok());
  EXPECT_FALSE(fileExists(f.store.filePath("https://bad.example")));
  EXPECT_EQ(f.fileCount(), 2u);
  ASSERT_TRUE(f.store.clearAll().ok());
  EXPECT_FALSE(isDirectory(f.store.directory()));
  EXPECT_TRUE(f.store.clearAll().ok());
}

using testing::ClipboardFixture;
using testing::textItem;

// A desktop clipboard that holds one type only (the wl-copy case): the
// service's marker never arrives, so only the remembered counter protects it.
class TextOnlyPasteboard final : public Pasteboard {
 public:
  explicit TextOnlyPasteboard(std::shared_ptr<FakePasteboard> inner) : inner_(std::move(inner)) {}
  Status writeString(const std::string& text) override { return inner_->writeString(text); }
  Result<std::optional<std::string>> readString() override { return inner_->readString(); }
  int64_t changeCount() const override { return inner_->changeCount(); }
  Result<std::optional<PasteboardItem>> readItem() override { return inner_->readItem(); }
  void setChangeObserver(std::function<void()> observer) override { inner_->setChangeObserver(std::move(observer)); }

 private:
  std::shared_ptr<FakePasteboard> inner_;
};

TEST(ClipboardServiceTest, ReusingAnItemDoesNotCaptureItAgain) {
  for (bool textOnly : {false, true}) {
    ClipboardFixture f;
    if (textOnly) f.servicePasteboard = std::make_shared<TextOnlyPasteboard>(f.pasteboard);
    f.start();
    f.service->setPanelVisible(true);
    f.copy({{{"text/html", "<b>old</b>"}, {"UTF8_STRING", "old"}}});
    f.copyText("new");
    f.env.advanceBy(seconds(1));
    ASSERT_EQ(f.service->history().size(), 2u);
    ClipboardItem old = f.service->history()[1];
    ASSERT_TRUE(f.service->copyToPasteboard(old));
    f.env.advanceBy(seconds(10));
    EXPECT_EQ(f.storedCount(), 2) << textOnly;
    EXPECT_EQ(f.service->history()[0].id, old.id) << textOnly;
    auto written = f.pasteboard->currentItem().value();
    if (textOnly) {
      EXPECT_EQ(written, textItem("old"));
    } else {
      EXPECT_EQ(written.representations.size(), 3u);
      EXPECT_EQ(written.representations[0], (PasteboardRepresentation{"text/html", "<b>old</b>"}));
      EXPECT_TRUE(written.hasType(kInternalCopyMarkerType));
    }
  }
}

TEST(ClipboardServiceTest, OwnWritesSecretsAndEmptyClipboardsAreNotRecorded) {
  ClipboardFixture f;
  testing::ScopedLogCapture logs;
  ScopedTelemetryRecorder telemetry;
  f.start();
  f.copy({{{kPlainTextUtf8Type, "😀"}, {kEmojiMarkerType, ""}}});
  f.copy({{{kPlainTextUtf8Type, "reused"}, {kInternalCopyMarkerType, "1"}}});
  f.copy({{{kPlainTextUtf8Type, "hunter2"}, {kPasswordManagerHintType, "secret"}}});
  f.pasteboard->clear();
  f.copy({});
  f.copy({{{"UTF8_STRING", ""}}});
  f.env.advanceBy(seconds(2));
  EXPECT_EQ(f.storedCount(), 0);
  EXPECT_FALSE(logs.contains("hunter2"));
  EXPECT_TRUE(telemetry.sink().events().empty());
  // A hint other than "secret" does not hide the item.
  f.copy({{{kPlainTextUtf8Type, "public"}, {kPasswordManagerHintType, "other"}}});
  EXPECT_EQ(f.storedCount(), 1);
}

TEST(ClipboardServiceTest, ARecordKeepsItsKindSourceAndEveryRepresentation) {
  ClipboardFixture f;
  f.pasteboard->setFrontmostApplication(FrontmostApplication{"org.example.Editor.desktop", "Editor", "editor"});
  f.start();
  std::string image(20 << 20, '\x42');
  f.copy({{{"image/png", image}}});
  f.copy({{{"image/png", "\x89PNG"}, {"UTF8_STRING", " https://example.com/page "}}});
  f.env.advanceBy(seconds(1));
  auto items = f.stored();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].contentKind(), ClipboardContentKind::image);
  EXPECT_EQ(items[1].primaryText, std::nullopt);
  EXPECT_EQ(f.store->loadRepresentations(items[1].id).value()[0].data, image);
  EXPECT_EQ(items[0].contentKind(), ClipboardContentKind::link);
  EXPECT_EQ(items[0].detectedURLString, "https://example.com/page");
  EXPECT_EQ(items[0].sourceAppBundleIdentifier, "org.example.Editor.desktop");
  EXPECT_EQ(items[0].sourceAppName, "Editor");
  ASSERT_EQ(items[0].representations.size(), 2u);
  EXPECT_EQ(items[0].representations[1].typeIdentifier, "UTF8_STRING");
  EXPECT_EQ(items[0].representations[1].order, 1);
}

// A failed read skips its item and keeps the rest.
TEST(ClipboardServiceTest, CapturesAreSavedInOneBatchAfterTheDelayAndAFailedReadIsSkipped) {
  testing::ScopedLogCapture logs(LogLevel::error);
  ClipboardFixture f;
  f.start();
  f.copyText("one");
  f.pasteboard->failReadsWith(Error("PasteboardError", 5, "The clipboard owner stopped answering"));
  f.copyText("lost");
  EXPECT_TRUE(logs.contains("Cannot read the clipboard: The clipboard owner stopped answering"));
  f.pasteboard->failReadsWith(std::nullopt);
  f.copyText("two");
  EXPECT_TRUE(f.store->hasUncommittedChanges());
  f.env.advanceBy(ClipboardService::kSaveBatchDelay - milliseconds(1));
  EXPECT_TRUE(f.service->hasPendingChanges());
  f.env.advanceBy(milliseconds(1));
  EXPECT_FALSE(f.store->hasUncommittedChanges());
  // A service that goes away before the delay saves what it captured.
  f.copyText("three");
  f.service.reset();
  EXPECT_FALSE(f.store->hasUncommittedChanges());
  std::vector<std::string> texts;
  for (const ClipboardItem& i : f.stored()) texts.push_back(*i.primaryText);
  EXPECT_EQ(texts, (std::vector<std::string>{"three", "two", "one"}));
}

TEST(ClipboardServiceTest, CadenceFollowsWorkModeAndPanel) {
  struct Step {
    const char* event;
    ClipboardService::PollingCadence cadence;
    Duration interval;
    bool historyKept;
  };
  using C = ClipboardService::PollingCadence;
  const Step steps[] = {
      {"shown", C::active, milliseconds(200), true},  {"idle", C::idle, seconds(1), true},
      {"active", C::active, milliseconds(200), true}, {"hidden", C::active, milliseconds(200), false},
      {"deepIdle", C::deepIdle, seconds(3), false},
  };
  ClipboardFixture f;
  f.start();
  EXPECT_EQ(f.service->currentPollingCadence(), C::idle);
  EXPECT_EQ(f.service->currentPollingInterval(), seconds(1));
  f.copyText("x");
  for (const Step& s : steps) {
    std::string e = s.event;
    if (e == "shown") f.service->setPanelVisible(true);
    if (e == "hidden") f.service->setPanelVisible(false);
    if (e == "idle") f.service->setWorkMode(WorkMode::idle);
    if (e == "active") f.service->setWorkMode(WorkMode::active);
    if (e == "deepIdle") f.service->setWorkMode(WorkMode::deepIdle);
    EXPECT_EQ(f.service->currentPollingCadence(), s.cadence) << e;
    EXPECT_EQ(f.service->currentPollingInterval(), s.interval) << e;
    EXPECT_EQ(f.service->history().empty(), !s.historyKept) << e;
  }
  // Polling reads nothing while nothing changes; without change events, the
  // timer alone finds a copy within one interval.
  const int reads = f.pasteboard->readCount();
  f.env.advanceBy(seconds(60));
  EXPECT_EQ(f.pasteboard->readCount(), reads);
  f.pasteboard->setChangeObserver(nullptr);
  f.pasteboard->setItem(textItem("timer"));
  f.env.advanceBy(seconds(3) - milliseconds(1));
  EXPECT_EQ(f.storedCount(), 1);
  f.env.advanceBy(milliseconds(1));
  EXPECT_EQ(f.storedCount(), 2);
}

TEST(ClipboardServiceTest, DisabledHistoryWatchesNothingUntilThePreferenceChanges) {
  ClipboardFixture f;
  f.settings.historyEnabled = false;
  f.start();
  f.copyText("ignored");
  f.env.advanceBy(seconds(10));
  EXPECT_EQ(f.storedCount(), 0);
  EXPECT_FALSE(f.service->isMonitoring());
  EXPECT_EQ(f.env.pendingTaskCount(), 0u);
  f.settings.historyEnabled = true;
  f.center.post(ClipboardService::kPreferencesDidChange);
  f.env.runUntilIdle();
  EXPECT_EQ(f.storedCount(), 1);  // the poll at start takes what is there
}

TEST(ClipboardServiceTest, RetentionDeletesExactlyTheExpiredItemsAcrossARestart) {
  testing::TempDir dir;
  const std::string path = dir / "Pallix.sqlite";
  Date start;
  {
    ClipboardFixture f(path);
    f.settings.retentionDays = 0;
    f.start();
    start = f.env.clock().wallNow();
    f.copyText("day 0");
    f.env.advanceBy(std::chrono::hours(20));
    f.copyText("day 0 + 20h");
    f.env.advanceBy(std::chrono::hours(30));  // retention 0 keeps both
    f.copyText("day 2");
    f.env.advanceBy(seconds(61));
    EXPECT_EQ(f.storedCount(), 3);
  }
  ClipboardFixture f(path);
  f.env.clock().setWallNow(start + std::chrono::hours(50) + std::chrono::seconds(61));
  f.settings.retentionDays = 1;
  f.start();  // applying the preferences purges
  auto items = f.stored();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].primaryText, "day 2");
  // Afterwards at most once a minute, after a save.
  f.env.advanceBy(std::chrono::hours(23));
  f.copyText("fresh");
  f.env.advanceBy(seconds(1));
  EXPECT_EQ(f.storedCount(), 2);
  f.env.advanceBy(std::chrono::hours(2));
  EXPECT_EQ(f.storedCount(), 2);  // no save, no purge
  f.copyText("later");
  f.env.advanceBy(seconds(1));
  EXPECT_EQ(f.storedCount(), 2);  // "day 2" expired
}

// Deleting single items is part of the random model run.
TEST(ClipboardServiceTest, ClearingForgetsItemsAndPreviews) {
  testing::TempDir dir;
  ClipboardFixture f(":memory:", dir.path());
  ScopedTelemetryRecorder telemetry;
  f.provider->setAnswer("https://example.com", LinkMetadata{"Example", std::nullopt, std::nullopt});
  f.start();
  f.service->setPanelVisible(true);
  f.copyText("https://example.com");
  f.copyText("two");
  f.env.advanceBy(seconds(1));
  f.service->linkMetadata(f.service->history()[1], false, [](auto) {});
  f.env.runUntilIdle();
  EXPECT_TRUE(fileExists(f.previews->filePath("https://example.com")));
  f.service->clearHistory();
  f.env.runUntilIdle();
  EXPECT_EQ(f.storedCount(), 0);
  EXPECT_TRUE(f.service->history().empty());
  EXPECT_FALSE(isDirectory(f.previews->directory()));
  EXPECT_EQ(telemetry.sink().count("ClipboardService.clearedHistory"), 1u);
}

TEST(ClipboardServiceTest, LinkPreviewsAreFetchedOncePerLinkCachedAndForgottenUnderMemoryPressure) {
  testing::TempDir dir;
  ClipboardFixture f(":memory:", dir.path());
  ScopedTelemetryRecorder telemetry;
  f.provider->setAnswer("https://a.example", LinkMetadata{"A", std::nullopt, std::string("png")});
  f.provider->setAnswer("https://empty.example", LinkMetadata{});
  f.start();
  f.service->setPanelVisible(true);
  f.copyText("https://a.example");
  f.copyText("https://empty.example");
  f.copyText("https://down.example");
  f.env.runUntilIdle();
  EXPECT_EQ(f.provider->fetchCount(), 0) << "a copy fetches nothing";
  for (const ClipboardItem& item : f.service->history()) f.service->linkMetadata(item, false, [](auto) {});
  f.env.runUntilIdle();
  EXPECT_EQ(f.provider->fetchCount(), 3);
  EXPECT_EQ(telemetry.sink().count("ClipboardService.metadataFetchFailed"), 2u);
  std::optional<ClipboardLinkPreviewPayload> got;
  const ClipboardItem& a = f.service->history()[2];
  f.service->linkMetadata(a, false, [&](auto p) { got = p; });
  ASSERT_TRUE(got);
  EXPECT_EQ(got->title, "A");
  EXPECT_EQ(got->previewImageData, "png");
  EXPECT_EQ(f.provider->fetchCount(), 3);  // from the memory cache
  // Hidden, after memory pressure: the stored file answers, nothing is fetched.
  f.service->setPanelVisible(false);
  f.service->setPanelVisible(true);
  got.reset();
  f.service->linkMetadata(f.service->history()[2], false, [&](auto p) { got = p; });
  f.env.runUntilIdle();
  ASSERT_TRUE(got);
  EXPECT_EQ(f.provider->fetchCount(), 3);
  // A corrupt preview file is reported and fetched again.
  std::ofstream(f.previews->filePath("https://a.example")) << "{not json";
  f.service->handleMemoryPressure();
  f.service->linkMetadata(f.service->history()[2], false, [&](auto p) { got = p; });
  f.env.runUntilIdle();
  EXPECT_EQ(telemetry.sink().count("ClipboardService.linkPreviewStoreReadFailed"), 1u);
  EXPECT_EQ(f.provider->fetchCount(), 4);
  // Hidden without permission to fetch: nothing is fetched.
  f.service->setPanelVisible(false);
  f.service->reloadHistory();
  bool answered = false;
  f.service->linkMetadata(f.service->history()[0], false, [&](auto p) {
    answered = true;
    EXPECT_FALSE(p);
  });
  f.env.runUntilIdle();
  EXPECT_TRUE(answered);
  EXPECT_EQ(f.provider->fetchCount(), 4);
  // A link copied while hidden is not fetched; memory pressure forgets a fetch
  // in flight, whose caller hears that nothing was found.
  f.copyText("https://slow.example");
  EXPECT_EQ(f.service->linkPreviewTasksInFlight(), 0u);
  f.service->setPanelVisible(true);
  int answers = 0;
  f.service->linkMetadata(f.service->history()[0], true, [&](auto p) {
    ++answers;
    EXPECT_FALSE(p);
  });
  EXPECT_EQ(f.service->linkPreviewTasksInFlight(), 1u);
  f.service->handleMemoryPressure();
  EXPECT_EQ(f.service->linkPreviewTasksInFlight(), 0u);
  f.env.runUntilIdle();
  EXPECT_EQ(answers, 1);
}

// Random copies, reuses and deletions against a model: the newest-first
// list of distinct texts, in memory and (by capture time) in the store.
TEST(ClipboardServiceTest, RandomCopiesMatchANewestFirstModel) {
  ClipboardFixture f;
  f.start();
  f.service->setPanelVisible(true);
  std::mt19937 random(7);
  std::vector<std::string> model;
  auto moveToFront = [&](const std::string& text) {
    model.erase(std::remove(model.begin(), model.end(), text), model.end());
    model.insert(model.begin(), text);
  };
  for (int step = 0; step < 300; ++step) {
    f.env.advanceBy(milliseconds(250));
    int action = static_cast<int>(random() % 10);
    if (action < 7 || model.empty()) {
      std::string text = "text " + std::to_string(random() % 20);
      f.copyText(text);
      moveToFront(text);
      ASSERT_EQ(f.service->history()[0].pasteboardChangeCount, f.pasteboard->changeCount());
    } else {
      size_t index = random() % f.service->history().size();
      ClipboardItem item = f.service->history()[index];
      if (action < 9) {
        ASSERT_TRUE(f.service->copyToPasteboard(item));
        moveToFront(*item.primaryText);
      } else {
        f.service->deleteItem(item);
        model.erase(std::remove(model.begin(), model.end(), *item.primaryText), model.end());
      }
    }
    f.env.runUntilIdle();
    std::vector<std::string> history;
    for (const ClipboardItem& i : f.service->history()) history.push_back(*i.primaryText);
    ASSERT_EQ(history, model) << "step " << step;
  }
  f.env.advanceBy(seconds(1));
  std::vector<std::string> stored;
  for (const ClipboardItem& i : f.stored()) stored.push_back(*i.primaryText);
  EXPECT_EQ(stored, model);
}

std::vector<ClipboardItem> historyOf(int count) {
  std::vector<ClipboardItem> items;
  for (int i = 0; i < count; ++i) {
    ClipboardItem item;
    item.id = i + 1;
    item.updatePrimaryText("Note " + std::to_string(i) + (i % 2 ? " ÉVEN" : " odd"));
    item.sourceAppName = i == 5 ? std::optional<std::string>("Firefox") : std::nullopt;
    items.push_back(item);
  }
  return items;
}

// Priming indexes three items at once and the rest in the background; a
// filter builds what priming has not yet.
TEST(ClipboardSearchIndexTest, PrimingAndFilterMatchLowercasedTextNewestFirstUpToTwentyFive) {
  VirtualTimeEnvironment env;
  ClipboardSearchIndex index(env.mainRunner(), env.makeRunner("background"));
  index.updateHistory(historyOf(40));
  index.prime();
  EXPECT_EQ(index.coverageCount(), 3u);
  env.runUntilIdle();
  EXPECT_EQ(index.coverageCount(), 40u);
  // A background build overtaken by a newer generation is dropped.
  index.prime();
  index.clear();
  env.runUntilIdle();
  EXPECT_EQ(index.coverageCount(), 0u);
  index.updateHistory(historyOf(100));
  struct Case {
    std::string query;
    size_t count;
    int64_t firstID;
  };
  const Case cases[] = {{"", 25, 1},       {"  ", 25, 1},     {"ÉvEn", 25, 2},
                        {"NOTE 7", 11, 8}, {"firefox", 1, 6}, {"none", 0, 0}};
  for (const Case& c : cases) {
    auto matches = index.filter(c.query);
    ASSERT_EQ(matches.size(), c.count) << c.query;
    if (c.count) {
      EXPECT_EQ(matches[0]->id, c.firstID) << c.query;
    }
  }
  EXPECT_EQ(index.coverageCount(), 100u);
}

// The user's Hidden entry deletes the system one of the same ID: the window
// keeps its class name rather than the deleted application's.
TEST(DesktopApplicationResolverTest, EntriesComeFromTheApplicationFoldersAndHiddenOnesMaskTheirID) {
  testing::TempDir tmp;
  DataDirectories dirs = DataDirectories::forHome(tmp.path());
  dirs.systemDataDirs = {tmp / "system"};
  const std::string entry = "[Desktop Entry]\nType=Application\nExec=true\nName=";
  tmp.write(".local/share/applications/viewer.desktop", entry + "Viewer\nHidden=true\n");
  tmp.write("system/applications/viewer.desktop", entry + "Viewer\n");
  tmp.write("system/applications/notes.desktop", entry + "Notes\n");
  DesktopApplicationResolver resolver(dirs);
  EXPECT_EQ(resolver.resolve("notes", "Notes")->identifier, "notes.desktop");
  EXPECT_EQ(resolver.resolve("viewer", "Viewer"), (FrontmostApplication{"Viewer", "Viewer", std::nullopt}));
}

TEST(ClipboardModeSearchProviderTest, FiltersTheServiceHistoryAndReusesTheChoice) {
  testing::ClipboardFixture f;
  f.start();
  f.service->setPanelVisible(true);
  f.copyText("first note");
  f.copyText("second note");
  f.copyText("other");
  ClipboardModeSearchProvider provider(*f.service, f.env.mainRunner(), f.env.makeRunner("index"));
  std::vector<ModeResult> results;
  provider.search("NOTE", [&](std::vector<ModeResult> r) { results = std::move(r); });
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].title, "second note");
  EXPECT_TRUE(provider.activate(results[1]));
  f.env.runUntilIdle();
  EXPECT_EQ(f.pasteboard->readString().value(), "first note");
  // The history changed: the next search sees the new order.
  provider.search("", [&](std::vector<ModeResult> r) { results = std::move(r); });
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].title, "first note");
}

// A long text found by a word shows the sentence holding it, the word highlighted.
TEST(ClipboardModeSearchProviderTest, TextFoundByAWordShowsThePassageHoldingIt) {
  testing::ClipboardFixture f;
  f.start();
  f.service->setPanelVisible(true);
  std::string text = "Meeting notes from Monday.\n\n";
  for (int i = 0; i < 8; ++i) text += "Item " + std::to_string(i) + " was discussed at length. ";
  text += "The \u00E9tag\u00E8re must be ordered by Friday.";
  f.copyText(text);
  f.env.runUntilIdle();
  ClipboardModeSearchProvider provider(*f.service, f.env.mainRunner(), f.env.makeRunner("index"));
  std::vector<ModeResult> results;
  provider.search("ordered", [&](std::vector<ModeResult> r) { results = std::move(r); });
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].title, "The \u00E9tag\u00E8re must be ordered by Friday.");
  ASSERT_EQ(results[0].titleHighlights.size(), 1u);
  const TextSpan& span = results[0].titleHighlights[0];
  EXPECT_EQ(results[0].title.substr(span.byteStart, span.byteLength), "ordered");
  // "The étagère must be ": 22 bytes, 20 UTF-16 units.
  EXPECT_EQ(span.byteStart, 22u);
  EXPECT_EQ(span.utf16Start, 20u);
  // Without a query the text shows from its start.
  provider.search("", [&](std::vector<ModeResult> r) { results = std::move(r); });
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].title.rfind("Meeting notes from Monday.", 0), 0u);
  EXPECT_TRUE(results[0].titleHighlights.empty());
}

TEST(DesktopApplicationResolverTest, StartupWMClassWinsOverTheDesktopFileID) {
  DesktopEntry editor{"org.gnome.TextEditor.desktop", "", "Text Editor"};
  DesktopEntry browser{"firefox-esr.desktop", "", "Firefox ESR"};
  browser.startupWMClass = "Firefox-esr";
  browser.icon = "firefox-esr";
  DesktopApplicationResolver resolver({editor, browser});
  EXPECT_EQ(resolver.resolve("Navigator", "firefox-esr"),
            (FrontmostApplication{"firefox-esr.desktop", "Firefox ESR", "firefox-esr"}));
  EXPECT_EQ(resolver.resolve("gnome-text-editor", "TextEditor")->identifier, "org.gnome.TextEditor.desktop");
  EXPECT_EQ(resolver.resolve("xterm", "XTerm"), (FrontmostApplication{"XTerm", "XTerm", std::nullopt}));
}

}  // namespace
}  // namespace pallix
