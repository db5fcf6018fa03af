// The message chunk indexer in virtual time over real database files:
// incremental passes against one full pass (the model), the builder as the
// model of a full pass, the window, resume decisions, polling and work
// modes, the lease, and stall recovery.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "app/messages/MessageChunkCollector.h"
#include "core/SourceStatistics.h"
#include "tests/messages/MessageIndexerTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::IndexerRig;
using testing::kFixtureNow;
using testing::TestMessagesDatabase;
using Kind = MessageChunkIndexer::PassSummary::Kind;
using Outcome = MessageChunkIndexer::PassSummary::Outcome;

// Three conversations: Alice alone, a named group with Alice and Bob, and a
// stranger whose messages never enter chunks.
struct Conversations {
  explicit Conversations(TestMessagesDatabase& db) : db(db) {
    alice = db.addHandle("+15550100001");
    bob = db.addHandle("+15550100002");
    stranger = db.addHandle("+15550109999");
    chats = {db.addChat("iMessage;-;+15550100001", std::nullopt, {alice}),
             db.addChat("chat-trip", std::string("Trip"), {alice, bob}),
             db.addChat("iMessage;-;+15550109999", std::nullopt, {stranger})};
  }
  // `count` messages at random gaps (minutes to hours) after `start`.
  double addRandom(std::mt19937& rng, int count, double start) {
    const double gaps[] = {60, 1800, 3 * 3600, 5 * 3600, 6 * 3600, 20};
    double date = start;
    for (int k = 0; k < count; ++k) {
      date += gaps[rng() % 6];
      const size_t chat = rng() % 3;
      const bool fromMe = rng() % 3 == 0;
      const int64_t handle = chat == 0 ? alice : chat == 2 ? stranger : (rng() % 2 ? alice : bob);
      db.addMessage({.text = "note " + std::to_string(k) + " about plans",
                     .date = date,
                     .fromMe = fromMe,
                     .handle = fromMe ? 0 : handle,
                     .chat = chats[chat]});
    }
    return date;
  }
  TestMessagesDatabase& db;
  int64_t alice = 0, bob = 0, stranger = 0;
  std::vector<int64_t> chats;
};

double daysAgo(double days) {
  return kFixtureNow - days * 86400;
}

// A database of the three conversations in a temporary folder.
class MessageChunkIndexerTest : public ::testing::Test {
 protected:
  // Two messages of mine in Alice's conversation, a day ago; the database is closed.
  void twoMessagesClosed() {
    db.addMessage({.text = "one", .date = daysAgo(1), .fromMe = true, .chat = c.chats[0]});
    db.addMessage({.text = "two", .date = daysAgo(1) + 5, .fromMe = true, .chat = c.chats[0]});
    db.close();
  }
  testing::TempDir dir;
  TestMessagesDatabase db{dir.path() + "/chat.db"};
  Conversations c{db};
};

TEST(MessageChunkIndexerModelTest, IncrementalPassesEndWhereOneFullPassEnds) {
  size_t regrown = 0;
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    testing::TempDir dir;
    TestMessagesDatabase db(dir.path() + "/chat.db");
    Conversations c(db);
    std::mt19937 rng(seed);
    const double end = c.addRandom(rng, 40 + int(rng() % 40), daysAgo(100));
    db.commit();
    IndexerRig incremental(db.path());
    ASSERT_TRUE(incremental.catchUp());
    // Two more rounds of new messages, each picked up by an incremental pass.
    c.addRandom(rng, 1 + int(rng() % 30), c.addRandom(rng, 1 + int(rng() % 5), end));
    db.commit();
    ASSERT_TRUE(incremental.catchUp());
    EXPECT_EQ(incremental.passes.back().kind, Kind::incremental);
    db.close();

    IndexerRig full(db.path());
    ASSERT_TRUE(full.catchUp());
    EXPECT_EQ(full.passes.back().kind, Kind::full);
    EXPECT_GT(full.store->chunks.size(), 3u);
    EXPECT_EQ(incremental.store->metadata(), full.store->metadata());
    EXPECT_EQ(incremental.marker(), full.marker());
    // A last chunk that took new messages was removed and stored again under its identifier.
    for (const std::string& id : incremental.store->removed) EXPECT_EQ(full.store->chunks.count(id), 1u) << id;
    regrown += incremental.store->removed.size();

    // And a full pass stores exactly what the chunk builder builds.
    ContactNameLookup names = ContactNameLookup::build(full.contacts->allContacts().value());
    MessageChunkBuilder builder(names, "UTC");
    MessageHistoryReader reader(full.access, full.env.clock());
    auto model = collectWindowChunks(reader, builder,
                                     {MessageHistoryReader::rollingWindowCutoff(full.env.clock().wallNow(), "UTC")});
    ASSERT_TRUE(model.ok());
    std::map<std::string, MessageChunkMetadata> expected;
    for (const auto& r : model->chunks) expected.emplace(r.identifier, r.metadata);
    EXPECT_EQ(full.store->metadata(), expected);
  }
  EXPECT_GT(regrown, 0u);
}

TEST_F(MessageChunkIndexerTest, TheRollingWindowDropsOldChunksAndSkipsOldMessages) {
  const int64_t old =
      db.addMessage({.text = "last year's news", .date = daysAgo(400), .fromMe = true, .chat = c.chats[0]});
  db.addMessage({.text = "and more of it", .date = daysAgo(400) + 60, .fromMe = true, .chat = c.chats[0]});
  db.addMessage({.text = "fresh news", .date = daysAgo(2), .fromMe = true, .chat = c.chats[0]});
  db.addMessage({.text = "fresher news", .date = daysAgo(2) + 60, .handle = c.alice, .chat = c.chats[0]});
  db.commit();
  IndexerRig rig(db.path());
  MessageChunkMetadata stale{"chat-gone", {1}, {"G1"}, daysAgo(500), daysAgo(499), "Old:\n..."};
  rig.store->chunks["chat-gone_1.0"] = {"chat-gone_1.0", stale.combinedText, stale.toMap()};
  rig.store->countSeen = 0;  // so the pass is a full one
  ASSERT_TRUE(rig.catchUp());
  EXPECT_EQ(rig.passes.back().kind, Kind::full);
  auto stored = rig.store->metadata();
  EXPECT_EQ(stored.count("chat-gone_1.0"), 0u);
  ASSERT_EQ(stored.size(), 1u);
  for (const auto& [id, m] : stored) EXPECT_GT(m.messageRowIDs.front(), old + 1);
}

// Where a pass resumes: the recorded ROWID, the stored chunks, the index file.
TEST_F(MessageChunkIndexerTest, ResumesFromTheRecordedRowIDTheStoredChunksOrTheIndexFile) {
  struct Case {
    const char* name;
    int64_t marker;  // 0: none recorded
    bool storedChunk, fileExists, reloadFindsChunk;
    bool ran;
    Kind kind;
    int reloads;
    std::optional<int64_t> markerAfter;  // expected marker after the pass
  };
  const Case cases[] = {
      {"fresh", 0, false, false, false, true, Kind::full, 0, 3},
      {"recorded with chunks", 2, true, true, false, true, Kind::incremental, 0, 3},
      {"chunks but no marker", 0, true, true, false, true, Kind::incremental, 0, 3},
      {"marker without index file", 2, false, false, false, true, Kind::full, 0, 3},
      {"reload recovers", 2, false, true, true, true, Kind::incremental, 1, 3},
      {"reload finds nothing", 2, false, true, false, false, Kind::full, 1, 2},
  };
  for (int k = 0; k < 3; ++k) {
    db.addMessage(
        {.text = "hello " + std::to_string(k), .date = daysAgo(3) + 60 * k, .fromMe = true, .chat = c.chats[0]});
  }
  db.close();
  const MessageChunkMetadata m{"iMessage;-;+15550100001", {1, 2}, {"GUID-1", "GUID-2"}, daysAgo(3),
                               daysAgo(3) + 60,           "x"};
  const ChunkInput chunk{"iMessage;-;+15550100001_" + formatShortestDouble(daysAgo(3)), "x", m.toMap()};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    IndexerRig rig(db.path());
    rig.adoptDatabase();
    if (k.marker) (void)rig.defaults.set(MessageChunkIndexer::kLastIndexedRowIDKey, k.marker);
    if (k.storedChunk) rig.store->chunks[chunk.id] = chunk;
    if (k.reloadFindsChunk) rig.store->onDisk[chunk.id] = chunk;
    rig.store->fileExists = k.fileExists;
    EXPECT_EQ(rig.catchUp(), k.ran);
    EXPECT_EQ(rig.store->reloads, k.reloads);
    ASSERT_EQ(rig.passes.size(), k.ran ? 1u : 0u);
    if (k.ran) {
      EXPECT_EQ(rig.passes.back().kind, k.kind);
    }
    EXPECT_EQ(rig.marker(), k.markerAfter);
  }
}

// What one uninterrupted full pass over the database at `path` stores.
std::map<std::string, MessageChunkMetadata> uninterruptedIndex(const std::string& path) {
  IndexerRig full(path);
  EXPECT_TRUE(full.catchUp());
  EXPECT_EQ(full.passes.back().kind, Kind::full);
  return full.store->metadata();
}

// Ctrl-C during the first `pallix messages index`: the chunks stored so far
// stay, and the next run completes the pass instead of finding "no new
// messages", even when messages arrived in between.
TEST(MessageChunkIndexerResumeTest, AnInterruptedFirstPassCompletesOnTheNextRun) {
  for (uint32_t seed : {7u, 8u, 9u}) {
    SCOPED_TRACE(seed);
    testing::TempDir dir;
    TestMessagesDatabase db(dir.path() + "/chat.db");
    Conversations c(db);
    std::mt19937 rng(seed);
    const double end = c.addRandom(rng, 240, daysAgo(120));
    db.commit();
    const size_t total = uninterruptedIndex(db.path()).size();
    ASSERT_GT(total, 12u);

    IndexerRig rig(db.path());
    rig.indexer->setIndexingIntensity(IndexingIntensity::minimal);
    rig.indexer->runScheduledCatchUpPass();
    const size_t stopAt = 3 + rng() % (total - 6);
    for (int i = 0; i < 10000 && rig.store->chunks.size() < stopAt; ++i) {
      rig.env.advanceBy(std::chrono::milliseconds(100));
    }
    ASSERT_GE(rig.store->chunks.size(), stopAt);
    rig.indexer->stopIndexing();
    rig.env.runUntilIdle();
    ASSERT_LT(rig.store->chunks.size(), total);
    EXPECT_FALSE(rig.marker().has_value());

    if (seed == 9u) {
      c.addRandom(rng, 12, end);
      db.commit();
    }
    rig.restart(db.path());
    ASSERT_TRUE(rig.catchUp());
    EXPECT_EQ(rig.passes.back().kind, Kind::full);
    EXPECT_EQ(rig.passes.back().outcome, Outcome::completed);
    EXPECT_EQ(rig.store->metadata(), uninterruptedIndex(db.path()));
    EXPECT_EQ(rig.store->duplicateAdds, 0u);
    EXPECT_TRUE(rig.marker().has_value());

    // The pass is over: the run after it looks for new messages only.
    ASSERT_TRUE(rig.catchUp());
    EXPECT_EQ(rig.passes.back().outcome, Outcome::nothingNew);
  }
}

// An incremental pass stopped after storing some chunks is run again from the
// same marker; the chunks it stored are not stored twice.
TEST(MessageChunkIndexerResumeTest, AnInterruptedIncrementalPassStoresNothingTwice) {
  testing::TempDir dir;
  TestMessagesDatabase db(dir.path() + "/chat.db");
  Conversations c(db);
  std::mt19937 rng(11);
  const double end = c.addRandom(rng, 30, daysAgo(120));
  db.commit();
  IndexerRig rig(db.path());
  ASSERT_TRUE(rig.catchUp());
  c.addRandom(rng, 200, end);
  db.commit();
  rig.indexer->setIndexingIntensity(IndexingIntensity::minimal);
  rig.indexer->runScheduledCatchUpPass();
  const size_t before = rig.store->chunks.size();
  for (int i = 0; i < 10000 && rig.store->chunks.size() < before + 6; ++i) {
    rig.env.advanceBy(std::chrono::milliseconds(100));
  }
  rig.indexer->stopIndexing();
  rig.env.runUntilIdle();
  rig.restart(db.path());
  ASSERT_TRUE(rig.catchUp());
  EXPECT_EQ(rig.passes.back().kind, Kind::incremental);
  EXPECT_EQ(rig.store->metadata(), uninterruptedIndex(db.path()));
  EXPECT_EQ(rig.store->duplicateAdds, 0u);
}

// Another Messages database at the same place (a copy from another Mac): its
// ROWIDs name other messages, so the old chunks and marker must go.
TEST(MessageChunkIndexerResumeTest, AnotherDatabaseStartsAFreshIndex) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/chat.db";
  std::map<std::string, MessageChunkMetadata> second;
  {
    TestMessagesDatabase other(dir.path() + "/other.db");
    Conversations c(other);
    other.exec("UPDATE chat SET guid = guid || '-other'");
    std::mt19937 rng(5);
    c.addRandom(rng, 40, daysAgo(30));
    other.close();
    second = uninterruptedIndex(other.path());
  }
  ASSERT_FALSE(second.empty());
  IndexerRig rig(path);
  {
    TestMessagesDatabase db(path);
    Conversations c(db);
    std::mt19937 rng(4);
    c.addRandom(rng, 120, daysAgo(90));
    db.close();
  }
  ASSERT_TRUE(rig.catchUp());
  ASSERT_FALSE(rig.store->chunks.empty());
  ASSERT_GT(rig.marker().value_or(0), 40);

  std::filesystem::copy_file(dir.path() + "/other.db", path, std::filesystem::copy_options::overwrite_existing);
  rig.restart(path);
  ASSERT_TRUE(rig.catchUp());
  EXPECT_EQ(rig.passes.back().kind, Kind::full);
  EXPECT_EQ(rig.store->rebuilds, std::vector<std::string>{"user"});
  EXPECT_EQ(rig.store->metadata(), second);
  EXPECT_LE(rig.marker().value_or(0), 40);

  // The same database read from another path (an imported backup) is another index too.
  std::filesystem::copy_file(path, dir.path() + "/moved.db");
  rig.restart(dir.path() + "/moved.db");
  ASSERT_TRUE(rig.catchUp());
  EXPECT_EQ(rig.store->rebuilds.size(), 2u);
  EXPECT_EQ(rig.store->metadata(), second);
}

TEST_F(MessageChunkIndexerTest, PollsInIdleOnlyAndStopsInOtherWorkModes) {
  db.addMessage({.text = "first words", .date = daysAgo(1), .fromMe = true, .chat = c.chats[0]});
  db.commit();
  IndexerRig rig(db.path());
  rig.indexer->startContinuousIndexing();
  rig.env.advanceBy(std::chrono::seconds(10));
  ASSERT_EQ(rig.passes.size(), 1u);
  EXPECT_EQ(rig.passes[0].kind, Kind::full);

  const int64_t second =
      db.addMessage({.text = "second words", .date = daysAgo(1) + 60, .handle = c.alice, .chat = c.chats[0]});
  db.commit();
  rig.env.advanceBy(std::chrono::seconds(280));
  EXPECT_EQ(rig.passes.size(), 1u) << "nothing before the poll interval";
  rig.env.advanceBy(std::chrono::seconds(20));
  ASSERT_EQ(rig.passes.size(), 2u);
  EXPECT_EQ(rig.passes[1].kind, Kind::poll);
  EXPECT_EQ(rig.marker(), second);

  for (WorkMode mode : {WorkMode::active, WorkMode::deepIdle}) {
    rig.indexer->setWorkMode(mode);
    db.addMessage({.text = "while away", .date = daysAgo(1) + 120, .fromMe = true, .chat = c.chats[0]});
    db.commit();
    const size_t adds = rig.store->adds.size();
    rig.env.advanceBy(std::chrono::hours(3));
    EXPECT_EQ(rig.store->adds.size(), adds) << workModeName(mode);
    EXPECT_EQ(rig.marker(), second);
  }
  rig.indexer->setWorkMode(WorkMode::idle);
  rig.indexer->startContinuousIndexing();
  rig.env.advanceBy(std::chrono::seconds(10));
  EXPECT_EQ(rig.marker(), second + 2);
  rig.indexer->stopIndexing();
}

TEST_F(MessageChunkIndexerTest, ALeaseHeldElsewhereDefersThePass) {
  twoMessagesClosed();
  SourceStatistics::process().clear();
  // The last pass as `pallix status` shows it.
  auto lastPass = [] {
    for (const auto& source : SourceStatistics::process().snapshot()) {
      if (source.name == "semantic messages" && source.lastPass)
        return source.lastPass->kind + " " + source.lastPass->outcome;
    }
    return std::string("none");
  };
  IndexerRig rig(db.path());
  EmbeddingCoordinator::LeaseRef held;
  rig.coordinator->acquire(
      "files", std::chrono::seconds(1),
      Completion<EmbeddingCoordinator::LeaseRef>([&](EmbeddingCoordinator::LeaseRef l) { held = l; }));
  rig.env.runUntilIdle();
  ASSERT_TRUE(held);
  EXPECT_FALSE(rig.catchUp());
  EXPECT_EQ(rig.signals("MessageChunkIndexer.coordinatorAcquireFailed"), 1u);
  EXPECT_EQ(rig.passes.back().outcome, Outcome::deferred);
  EXPECT_EQ(lastPass(), "full deferred");
  EXPECT_TRUE(rig.store->chunks.empty());
  EXPECT_FALSE(rig.marker().has_value());
  held.reset();
  EXPECT_TRUE(rig.catchUp());
  EXPECT_EQ(rig.store->chunks.size(), 1u);
  EXPECT_EQ(lastPass(), "full completed");
}

TEST_F(MessageChunkIndexerTest, StallsRestartThreeTimesThenEscalateOnceThenBackOff) {
  twoMessagesClosed();
  IndexerRig rig(db.path());
  rig.store->hangAdds = true;
  rig.indexer->startContinuousIndexing();
  rig.env.advanceBy(std::chrono::minutes(9));
  EXPECT_EQ(rig.signals("MessageChunkIndexer.stallDetected"), 0u);
  rig.env.advanceBy(std::chrono::minutes(2));
  EXPECT_EQ(rig.signals("MessageChunkIndexer.stallRestart"), 1u);
  rig.env.advanceBy(std::chrono::hours(3));
  EXPECT_EQ(rig.signals("MessageChunkIndexer.stallRestart"), 3u);
  EXPECT_EQ(rig.signals("MessageChunkIndexer.stallEscalated"), 1u);
  EXPECT_EQ(rig.store->rebuilds, std::vector<std::string>{"system"});
  EXPECT_EQ(rig.signals("MessageChunkIndexer.rebuildBlocked"), 1u);
  EXPECT_GE(rig.signals("MessageChunkIndexer.stallPersistedAfterEscalation"), 1u);
  // Every stalled pass gave its lease back.
  std::optional<EmbeddingCoordinator::State> state;
  rig.store->hangAdds = false;
  rig.indexer->stopIndexing();
  rig.env.runUntilIdle();
  rig.coordinator->state(Completion<EmbeddingCoordinator::State>([&](auto s) { state = s; }));
  rig.env.runUntilIdle();
  ASSERT_TRUE(state.has_value());
  EXPECT_FALSE(state->activeLease.has_value());
}

}  // namespace
}  // namespace pallix
