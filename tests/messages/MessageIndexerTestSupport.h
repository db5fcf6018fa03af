// The message chunk indexer's test rig: an in-memory chunk store that can
// hang or refuse, a real coordinator, a real database file and contacts,
// everything in virtual time.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/messages/MessageChunkIndexer.h"
#include "app/semantic/EmbeddingStoreErrors.h"
#include "core/Telemetry.h"
#include "testing/FakeContactStore.h"
#include "testing/VirtualTime.h"
#include "tests/messages/MessagesTestSupport.h"

namespace pallix::testing {

class FakeMessageChunkStore final : public MessageChunkStore {
 public:
  FakeMessageChunkStore(TaskRunnerPtr runner, NotificationCenter& center)
      : runner_(std::move(runner)), center_(center) {}

  void initialize(Completion<Status> done) override {
    answer([=] { done(okStatus()); });
  }
  void state(Completion<State> done) override {
    answer([=, this] {
      done(State{ReadinessState::ready, "", countSeen.value_or(int64_t(chunks.size())), fileExists});
    });
  }
  void reload(Completion<Status> done) override {
    answer([=, this] {
      ++reloads;
      chunks = onDisk;
      done(okStatus());
    });
  }
  void addChunks(std::vector<ChunkInput> batch, Completion<Status> done) override {
    adds.push_back(batch.size());
    if (hangAdds) return;  // never answers: a stuck model
    answer([=, this] {
      // The real store appends, so a second add of an identifier is a second item.
      for (const auto& c : batch) duplicateAdds += chunks.count(c.id);
      for (const auto& c : batch) chunks[c.id] = c;
      done(okStatus());
    });
  }
  void removeChunks(std::vector<std::string> ids, Completion<Status> done) override {
    answer([=, this] {
      for (const auto& id : ids) removed.push_back(id), chunks.erase(id);
      done(okStatus());
    });
  }
  void getLastChunk(std::string chat, Completion<LastChunk> done) override {
    answer([=, this] {
      LastChunk best;
      for (const auto& [id, m] : metadata()) {
        if (m.chatGUID == chat && (!best || m.endDate > best->second.endDate)) best.emplace(id, m);
      }
      done(best);
    });
  }
  void deleteChunksOlderThan(double cutoff, Completion<Result<int64_t>> done) override {
    answer([=, this] {
      done(int64_t(std::erase_if(chunks, [&](const auto& entry) {
        return MessageChunkMetadata::fromMap(entry.second.metadata).value().endDate < cutoff;
      })));
    });
  }
  void largestStoredRowID(Completion<std::optional<int64_t>> done) override {
    answer([=, this] {
      std::optional<int64_t> largest;
      for (const auto& [id, m] : metadata()) {
        for (int64_t r : m.messageRowIDs) largest = std::max(largest.value_or(r), r);
      }
      done(largest);
    });
  }
  void save(MessageSaveIntent, Completion<Status> done) override {
    answer([=, this] {
      fileExists = true;
      onDisk = chunks;
      done(okStatus());
    });
  }
  void saveHNSW(Completion<Status> done) override {
    answer([=] { done(okStatus()); });
  }
  void rebuild(RebuildIntent intent, Completion<Status> done) override {
    answer([=, this] {
      rebuilds.push_back(intent.rawValue());
      if (intent.kind == RebuildIntent::Kind::system) {
        return done(RebuildError::makeAutomaticRebuildBlocked("blocked from ", intent.source));
      }
      chunks.clear();
      center_.post(resetNotificationName());
      done(okStatus());
    });
  }
  const char* resetNotificationName() const override { return "FakeMessageStore.indexWasReset"; }

  // The stored chunks' metadata by identifier.
  std::map<std::string, MessageChunkMetadata> metadata() const {
    std::map<std::string, MessageChunkMetadata> out;
    for (const auto& [id, c] : chunks) out.emplace(id, MessageChunkMetadata::fromMap(c.metadata).value());
    return out;
  }

  std::optional<int64_t> countSeen;  // a count that lags the contents
  bool hangAdds = false;
  bool fileExists = false;
  std::map<std::string, ChunkInput> chunks;
  std::map<std::string, ChunkInput> onDisk;  // what reload() finds
  std::vector<size_t> adds;
  size_t duplicateAdds = 0;
  std::vector<std::string> removed;
  std::vector<std::string> rebuilds;
  int reloads = 0;

 private:
  template <typename F>
  void answer(F f) {
    runner_->post(std::move(f));
  }
  TaskRunnerPtr runner_;
  NotificationCenter& center_;
};

inline ContactRecord contactNamed(const std::string& name, const std::string& phone) {
  return {.identifier = name, .formattedName = name, .phoneNumbers = {{"cell", phone}}};
}

// The indexer over `db` (a database the case fills) in virtual time.
struct IndexerRig {
  explicit IndexerRig(const std::string& databasePath, MessageChunkIndexer::Tuning tuning = {}) : tuning(tuning) {
    env.clock().setWallNow(dateFromSecondsSince1970(kFixtureNow));
    store = std::make_shared<FakeMessageChunkStore>(env.makeRunner("store"), center);
    restart(databasePath);
  }
  // A new indexer (as in the next process) over the same store and settings,
  // reading the database at `databasePath`.
  void restart(const std::string& databasePath) {
    if (indexer) indexer->stopIndexing();
    env.runUntilIdle();
    access = accessTo(databasePath);
    indexer = MessageChunkIndexer::create({.runner = env.makeRunner("indexer"),
                                           .store = store,
                                           .reader = std::make_shared<MessageHistoryReader>(access, env.clock()),
                                           .contacts = contacts,
                                           .coordinator = coordinator,
                                           .defaults = &defaults,
                                           .notifications = &center,
                                           .timeZoneID = "UTC",
                                           .tuning = tuning});
    indexer->setIndexingIntensity(IndexingIntensity::maximum);
    indexer->setPassObserver(Completion<MessageChunkIndexer::PassSummary>(
        [this](MessageChunkIndexer::PassSummary s) { passes.push_back(s); }));
    env.runUntilIdle();
  }
  // Records that what is stored belongs to the database read now.
  void adoptDatabase() {
    auto identity = MessageHistoryReader(access, env.clock()).databaseIdentity();
    ASSERT_TRUE(identity.ok()) << identity.error().description();
    ASSERT_TRUE(defaults.set(MessageChunkIndexer::kDatabaseIdentityKey, identity.value()).ok());
  }
  // One catch-up pass, run to its end; whether it ran.
  bool catchUp() {
    std::optional<bool> ran;
    indexer->runScheduledCatchUpPass(Completion<bool>([&](bool r) { ran = r; }));
    for (int i = 0; i < 100000 && !ran; ++i) env.advanceBy(std::chrono::milliseconds(100));
    EXPECT_TRUE(ran.has_value());
    return ran.value_or(false);
  }
  std::optional<int64_t> marker() const { return defaults.integerValue(MessageChunkIndexer::kLastIndexedRowIDKey); }
  size_t signals(const std::string& name) { return telemetry.sink().count(name); }

  MessageChunkIndexer::Tuning tuning;
  VirtualTimeEnvironment env;
  ScopedTelemetryRecorder telemetry;
  NotificationCenter center;
  UserDefaults defaults;
  std::shared_ptr<FullDiskAccessController> access;
  std::shared_ptr<FakeContactStore> contacts = std::make_shared<FakeContactStore>(std::vector<ContactRecord>{
      contactNamed("Alice Adams", "+1 555 010 0001"), contactNamed("Bob Berg", "+1 555 010 0002")});
  std::shared_ptr<EmbeddingCoordinator> coordinator = EmbeddingCoordinator::create(env.makeRunner("lease"));
  std::shared_ptr<FakeMessageChunkStore> store;
  std::shared_ptr<MessageChunkIndexer> indexer;
  std::vector<MessageChunkIndexer::PassSummary> passes;
};

}  // namespace pallix::testing
