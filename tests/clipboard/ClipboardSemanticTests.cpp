// Search of the clipboard history by meaning: what is embedded, where and
// when; what happens to vectors when items go or the model changes; and how
// clipboard mode shows the items found by meaning.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClipboardSemanticTestSupport.h"
#include "app/clipboard/ClipboardModeSearchProvider.h"
#include "app/platform/ClipboardStoreSchema.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::SemanticClipboardFixture;

TEST(ClipboardSemanticTest, WithThePreferenceOffNothingIsEmbeddedOrLoadedUntilItIsTurnedOn) {
  SemanticClipboardFixture f;
  f.settings.semanticSearchEnabled = false;
  f.startWithIndex();
  f.service->setPanelVisible(true);
  for (const char* t : {"lunch at noon", "meeting moved to Thursday", "a picture of a cat"}) f.copyText(t);
  ClipboardModeSearchProvider provider(*f.service, f.env.mainRunner(), f.env.makeRunner("filter"));
  provider.modeDidOpen();
  provider.search("appointment", [](std::vector<ModeResult> rows) { EXPECT_TRUE(rows.empty()); });
  f.env.advanceBy(std::chrono::minutes(5));
  EXPECT_FALSE(f.index->isEnabled());
  EXPECT_EQ(f.log->loads, 0);
  EXPECT_EQ(f.log->encodes, 0);
  EXPECT_EQ(f.vectorCount(), 0);

  // On: the items copied before are caught up with, in the background.
  f.setSemanticSearch(true);
  EXPECT_EQ(f.vectorCount(), 3);
  EXPECT_EQ(f.log->loads, 1);
  // The model goes after a while without use, and stays unloaded while off.
  f.setSemanticSearch(false);
  f.copyText("dinner plans");
  f.env.advanceBy(std::chrono::minutes(5));
  EXPECT_EQ(f.vectorCount(), 3);
  EXPECT_EQ(f.log->loads, 1);
  EXPECT_EQ(f.log->encodes, 3);
}

TEST(ClipboardSemanticTest, EmbeddingRunsOnTheIndexRunnerUnderTheLeaseAndABusyModelOnlyDelaysIt) {
  SemanticClipboardFixture f;
  f.startWithIndex();
  // Another indexer holds the model.
  EmbeddingCoordinator::LeaseRef held;
  f.coordinator->acquire("files", std::chrono::minutes(5),
                         Completion<EmbeddingCoordinator::LeaseRef>([&](auto lease) { held = lease; }));
  f.env.runUntilIdle();
  ASSERT_TRUE(held);
  f.copyText("meeting moved to Thursday");
  f.copyText("pizza for dinner");
  EXPECT_EQ(f.storedCount(), 2);
  EXPECT_EQ(f.vectorCount(), 0);
  std::optional<EmbeddingCoordinator::State> state;
  f.coordinator->state(Completion<EmbeddingCoordinator::State>([&](auto s) { state = s; }));
  f.env.runUntilIdle();
  ASSERT_TRUE(state);
  EXPECT_EQ(state->queuedOwners, std::vector<std::string>{ClipboardSemanticIndex::kOwner});

  // The wait times out; the pass tries again a minute later.
  f.env.advanceBy(ClipboardSemanticIndex::kLeaseTimeout + seconds(1));
  EXPECT_EQ(f.counters().leaseWaitsTimedOut, 1);
  held.reset();
  f.env.advanceBy(seconds(5));
  EXPECT_EQ(f.vectorCount(), 0);
  f.env.advanceBy(ClipboardSemanticIndex::kBusyRetryDelay);
  EXPECT_EQ(f.vectorCount(), 2);
  EXPECT_EQ(f.log->encodes, 2);
  EXPECT_EQ(f.log->encodesOnMain, 0);
  EXPECT_EQ(f.log->encodesOffIndex, 0);
  // The lease was given back.
  f.coordinator->state(Completion<EmbeddingCoordinator::State>([&](auto s) { state = s; }));
  f.env.runUntilIdle();
  EXPECT_FALSE(state->activeLease);

  // A new copy is embedded without waiting for anything else.
  f.copyText("dentist on Monday");
  EXPECT_EQ(f.vectorCount(), 3);
  EXPECT_EQ(f.log->encodesOnMain, 0);
}

TEST(ClipboardSemanticTest, AnItemsVectorGoesWithItWhenDeletedClearedOrExpired) {
  SemanticClipboardFixture f;
  f.settings.retentionDays = 1;
  f.startWithIndex();
  f.service->setPanelVisible(true);
  for (const char* t : {"old lunch", "meeting notes", "flight number", "wifi password"}) f.copyText(t);
  ASSERT_EQ(f.vectorCount(), 4);
  const std::vector<ClipboardItem> items = f.stored();  // newest first
  ASSERT_EQ(items.size(), 4u);

  f.service->deleteItem(items[0]);
  std::map<int64_t, std::string> models = f.vectorModels();
  EXPECT_EQ(models.size(), 3u);
  EXPECT_FALSE(models.count(items[0].id));
  // A later copy may get the deleted item's id; it gets a vector of its own text.
  f.copyText("invoice for March");
  EXPECT_EQ(f.vectorCount(), 4);

  ASSERT_TRUE(f.service->setPinned(items[1], true));
  f.service->clearHistory();
  models = f.vectorModels();
  EXPECT_EQ(models.size(), 1u);
  EXPECT_TRUE(models.count(items[1].id));

  f.service->setPinned(items[1], false);
  f.env.advanceBy(std::chrono::hours(25));
  f.copyText("train times");
  f.env.advanceBy(std::chrono::minutes(2));
  ASSERT_EQ(f.storedCount(), 1);
  EXPECT_EQ(f.vectorCount(), 1);
  EXPECT_EQ(f.vectorModels().begin()->first, f.stored()[0].id);
}

TEST(ClipboardSemanticTest, AnotherModelsVectorsAreDroppedAndTheItemsEmbeddedAgain) {
  SemanticClipboardFixture f;
  f.startWithIndex();
  f.copyText("meeting moved to Thursday");
  f.copyText("pizza for dinner");
  ASSERT_EQ(f.vectorModels(), (std::map<int64_t, std::string>{{1, "model-a"}, {2, "model-a"}}));

  // Installed meanwhile: noticed when the model loads again.
  f.fake().digest = "model-b";
  f.env.advanceBy(ClipboardSemanticIndex::kIdleUnloadDelay + seconds(1));
  f.copyText("wifi password");
  EXPECT_EQ(f.vectorModels(), (std::map<int64_t, std::string>{{1, "model-b"}, {2, "model-b"}, {3, "model-b"}}));
  EXPECT_EQ(f.counters().vectorsOfOtherModelsRemoved, 2);
  EXPECT_EQ(f.log->loads, 2);

  // A search compares the query with this model's vectors only.
  ASSERT_TRUE(f.db->execute("UPDATE ClipboardItemEmbedding SET model = 'model-a' WHERE item = 1").ok());
  std::vector<ClipboardSemanticIndex::Match> found;
  f.index->search("appointment", {}, 5, f.env.mainRunner(), [&](auto m) { found = std::move(m); });
  f.env.runUntilIdle();
  EXPECT_TRUE(found.empty());

  // Another model chosen: at once, without waiting for the loaded one to go.
  auto chosen = std::make_shared<testing::FakeModelFactory>(f.log);
  chosen->digest = "model-c";
  f.index->setModelFactory(chosen);
  f.env.runUntilIdle();
  EXPECT_EQ(f.vectorModels(), (std::map<int64_t, std::string>{{1, "model-c"}, {2, "model-c"}, {3, "model-c"}}));
}

struct Rows {
  std::vector<std::string> titles, details;
};

TEST(ClipboardSemanticTest, ItemsOfSimilarMeaningFollowTheTextMatchesOnceMarkedAndNeverTwice) {
  SemanticClipboardFixture f;
  f.startWithIndex();
  f.service->setPanelVisible(true);
  for (const char* t : {"appointment with the dentist", "pizza for dinner", "Meeting moved to Thursday 3pm",
                        "call Anna back", "meeting notes"}) {
    f.copyText(t);
  }
  ClipboardModeSearchProvider provider(*f.service, f.env.mainRunner(), f.env.makeRunner("filter"));
  int changes = 0;
  provider.setResultsChangedHandler([&] { ++changes; });
  auto search = [&](const std::string& text) {
    Rows rows;
    provider.search(text, [&](std::vector<ModeResult> results) {
      for (const ModeResult& r : results) {
        rows.titles.push_back(r.title);
        rows.details.push_back(r.detail);
      }
    });
    return rows;
  };
  // The text matches at once; the rest when the index has answered.
  Rows first = search("meeting");
  EXPECT_EQ(first.titles, (std::vector<std::string>{"meeting notes", "Meeting moved to Thursday 3pm"}));
  EXPECT_EQ(changes, 0);
  f.env.runUntilIdle();
  EXPECT_EQ(changes, 1);
  Rows rows = search("meeting");
  ASSERT_EQ(rows.titles.size(), 4u);
  EXPECT_EQ(rows.titles[0], "meeting notes");
  EXPECT_EQ(rows.titles[1], "Meeting moved to Thursday 3pm");
  EXPECT_EQ(std::vector<std::string>(rows.titles.begin() + 2, rows.titles.end()),
            (std::vector<std::string>{"call Anna back", "appointment with the dentist"}));
  for (size_t i = 0; i < rows.details.size(); ++i) {
    const bool marked = rows.details[i].rfind(ClipboardModeSearchProvider::kSimilarMeaningMark, 0) == 0;
    EXPECT_EQ(marked, i >= 2) << rows.details[i];
  }
  EXPECT_EQ(provider.lastMatches().size(), 4u);
  EXPECT_EQ(provider.lastMatches()[2]->primaryText, "call Anna back");
  EXPECT_EQ(f.log->encodesOnMain, 0);

  // Deleted since the answer: not shown.
  EXPECT_TRUE(provider.perform(ModeCommand::remove, ModeResult{std::to_string(provider.lastMatches()[2]->id)}));
  EXPECT_EQ(search("meeting").titles.back(), "appointment with the dentist");
  EXPECT_EQ(search("meeting").titles.size(), 3u);

  // Too short a query is not asked of the index.
  const int encodes = f.log->encodes;
  search("me");
  f.env.runUntilIdle();
  EXPECT_EQ(f.log->encodes, encodes);
  // Nothing close enough: no rows by meaning.
  search("zebra");
  f.env.runUntilIdle();
  EXPECT_TRUE(search("zebra").titles.empty());
}

TEST(ClipboardSemanticTest, AStoreFromBeforeVectorsGainsThemForItsOldItems) {
  testing::TempDir dir;
  const std::string path = dir / "Pallix.sqlite";
  std::vector<MigrationStep> earlier = catalogMigrationSteps();
  while (!earlier.empty() && earlier.back().description != "clipboard history: text items' vectors") {
    earlier.pop_back();
  }
  ASSERT_FALSE(earlier.empty());
  earlier.pop_back();
  {
    auto db = PersistentStore::open(path, earlier).value();
    ASSERT_TRUE(db->execute("INSERT INTO ClipboardItem (id, createdAt, primaryText, contentKindRaw)"
                            " VALUES (1, 1.7e9, 'lunch with Sam', 1);"
                            "INSERT INTO ClipboardItem (id, createdAt, primaryText, contentKindRaw)"
                            " VALUES (2, 1.7e9, 'https://example.com', 3);")
                    .ok());
    EXPECT_FALSE(db->prepare("SELECT item FROM ClipboardItemEmbedding").ok());
  }
  SemanticClipboardFixture f(path);
  EXPECT_EQ(f.db->schemaVersion(), catalogMigrationSteps().back().version);
  f.settings.retentionDays = 0;  // the items are old
  f.startWithIndex();
  // Text items only: a link is found by its words.
  EXPECT_EQ(f.vectorModels(), (std::map<int64_t, std::string>{{1, "model-a"}}));
  ASSERT_TRUE(f.store->remove(1).ok());
  ASSERT_TRUE(f.store->save().ok());
  EXPECT_EQ(f.vectorCount(), 0);
}

}  // namespace
}  // namespace pallix
