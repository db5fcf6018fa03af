#include "app/messages/MessageChunkIndexer.h"

#include <algorithm>
#include <map>

#include "core/SourceStatistics.h"
#include "core/Telemetry.h"
#include "core/WeakTask.h"

namespace pallix {

namespace {

using Outcome = MessageChunkIndexer::PassSummary::Outcome;

// Conversations in order of first appearance; messages without one cannot be chunked.
std::vector<std::pair<std::string, std::vector<RawMessage>>> groupByConversation(std::vector<RawMessage> messages) {
  std::vector<std::pair<std::string, std::vector<RawMessage>>> groups;
  std::map<std::string, size_t> index;
  for (RawMessage& m : messages) {
    if (!m.chatGUID || m.chatGUID->empty()) continue;
    auto [it, added] = index.emplace(*m.chatGUID, groups.size());
    if (added) groups.push_back({*m.chatGUID, {}});
    groups[it->second].second.push_back(std::move(m));
  }
  return groups;
}

std::optional<std::string> displayNameOf(const std::vector<RawMessage>& messages) {
  for (const RawMessage& m : messages) {
    if (m.chatDisplayName && !m.chatDisplayName->empty()) return m.chatDisplayName;
  }
  return std::nullopt;
}

}  // namespace

const char* stateName(MessageChunkIndexer::State state) {
  using S = MessageChunkIndexer::State;
  switch (state) {
    case S::idle:
      return "idle";
    case S::indexing:
      return "indexing";
    case S::paused:
      return "paused";
    case S::polling:
      return "polling";
    case S::completed:
      return "completed";
  }
  return "idle";
}

const char* phaseName(MessageChunkIndexer::Phase phase) {
  using P = MessageChunkIndexer::Phase;
  switch (phase) {
    case P::idle:
      return "idle";
    case P::collecting:
      return "collecting";
    case P::indexing:
      return "indexing";
    case P::polling:
      return "polling";
    case P::paused:
      return "paused";
    case P::deferred:
      return "deferred";
    case P::completed:
      return "completed";
  }
  return "idle";
}

std::pair<size_t, Duration> MessageChunkIndexer::intensityConfig(IndexingIntensity intensity) {
  using std::chrono::milliseconds;
  switch (intensity) {
    case IndexingIntensity::minimal:
      return {2, milliseconds(2000)};
    case IndexingIntensity::low:
      return {5, milliseconds(1000)};
    case IndexingIntensity::balanced:
      return {10, milliseconds(500)};
    case IndexingIntensity::maximum:
      return {20, milliseconds(200)};
  }
  return {10, milliseconds(500)};
}

std::shared_ptr<MessageChunkIndexer> MessageChunkIndexer::create(Dependencies deps) {
  auto indexer = std::shared_ptr<MessageChunkIndexer>(new MessageChunkIndexer(std::move(deps)));
  std::weak_ptr<MessageChunkIndexer> weak = indexer;
  indexer->resetObservation_ = ScopedObservation(
      *indexer->deps_.notifications, indexer->deps_.store->resetNotificationName(), [weak](const Notification&) {
        auto self = weak.lock();
        if (!self) return;
        self->post([](MessageChunkIndexer& i) {
          i.logger_.info("Index was reset externally, clearing progress marker");
          (void)i.deps_.defaults->remove(kLastIndexedRowIDKey);
        });
      });
  return indexer;
}

MessageChunkIndexer::MessageChunkIndexer(Dependencies deps)
    : deps_(std::move(deps)), currentPollInterval_(deps_.tuning.pollInterval) {
  if (!deps_.coordinator) deps_.coordinator = EmbeddingCoordinator::shared();
  if (!deps_.notifications) deps_.notifications = &NotificationCenter::defaultCenter();
}

MessageChunkIndexer::~MessageChunkIndexer() {
  if (pass_ && pass_->lease) pass_->lease->release();
}

void MessageChunkIndexer::post(Step work) {
  deps_.runner->post(whileAlive(weak_from_this(), std::move(work)));
}

void MessageChunkIndexer::postDelayed(Duration delay, TaskHandle handle, Step work) {
  deps_.runner->postDelayedWithHandle(delay, std::move(handle), whileAlive(weak_from_this(), std::move(work)));
}

// MARK: - Public operations

void MessageChunkIndexer::startContinuousIndexing() {
  post([](MessageChunkIndexer& i) { i.startNow(); });
}

void MessageChunkIndexer::runScheduledCatchUpPass(Completion<bool> done) {
  post([done](MessageChunkIndexer& i) { i.catchUpNow(done); });
}

void MessageChunkIndexer::setIndexingIntensity(IndexingIntensity intensity) {
  post([intensity](MessageChunkIndexer& i) { i.intensity_ = intensity; });
}

void MessageChunkIndexer::setProgressObserver(Completion<Progress> observer) {
  post([observer](MessageChunkIndexer& i) {
    i.progressObserver_ = observer;
    observer(i.progress_);
  });
}

void MessageChunkIndexer::setPassObserver(Completion<PassSummary> observer) {
  post([observer](MessageChunkIndexer& i) { i.passObserver_ = observer; });
}

void MessageChunkIndexer::progress(Completion<Progress> done) {
  post([done](MessageChunkIndexer& i) { done(i.progress_); });
}

void MessageChunkIndexer::beginPass(PassSummary::Kind kind, RetryStrategy strategy) {
  pass_ = std::make_unique<Pass>();
  pass_->generation = ++passGeneration_;
  pass_->startedAt = deps_.runner->clock().now();
  pass_->summary.kind = kind;
  pass_->strategy = strategy;
  pass_->cutoff = cutoff();
  pass_->highestRowID = lastIndexedRowID();
  pass_->names = deps_.contacts ? ContactNameLookup::build(*deps_.contacts) : ContactNameLookup();
  pass_->builder = std::make_unique<MessageChunkBuilder>(pass_->names, deps_.timeZoneID);
  isPaused_ = false;
  progress_.indexedChunks = 0;
  progress_.totalChunks = 0;
  progress_.processedMessages = 0;
  progress_.totalMessages = 0;
  setStatePhase(State::indexing, kind == PassSummary::Kind::full ? Phase::collecting : Phase::indexing);
  markProgress();
  scheduleWatchdog();
}

void MessageChunkIndexer::endPass(Outcome outcome, const std::string& detail) {
  if (!pass_) return;
  std::unique_ptr<Pass> pass = std::move(pass_);
  pass->timers.cancel();
  if (pass->lease) pass->lease->release();
  pass->summary.outcome = outcome;
  pass->summary.detail = detail;
  pass->summary.lastIndexedRowID = lastIndexedRowID();
  if (outcome == Outcome::completed || outcome == Outcome::nothingNew) {
    stallRestartCount_ = 0;
    didEscalateAfterStall_ = false;
    if (pass->names.size() > 0) {
      logger_.info("Cleared contact caches (%ld entries freed)", long(pass->names.size()));
    }
    setStatePhase(State::completed, Phase::completed);
  } else if (outcome == Outcome::deferred) {
    setStatePhase(State::idle, Phase::deferred);
  } else if (outcome == Outcome::failed) {
    setStatePhase(State::idle, Phase::idle);
  }
  recordPassStatistics(*pass);
  if (passObserver_) passObserver_(pass->summary);
  if (pass->then) pass->then(*this, outcome);
}

void MessageChunkIndexer::recordPassStatistics(const Pass& pass) const {
  static constexpr const char* kKinds[] = {"full", "incremental", "poll"};
  static constexpr const char* kOutcomes[] = {"completed", "unchanged", "deferred", "interrupted", "failed"};
  SourceStatistics::process().recordPass(
      "semantic messages",
      {kKinds[static_cast<size_t>(pass.summary.kind)], deps_.runner->clock().wallNow(),
       deps_.runner->clock().now() - pass.startedAt, kOutcomes[static_cast<size_t>(pass.summary.outcome)]});
}

// MARK: - Full indexing

void MessageChunkIndexer::performFullIndexing() {
  const uint64_t generation = pass_->generation;
  deps_.store->deleteChunksOlderThan(
      pass_->cutoff, inPass<Result<int64_t>>(generation, [](MessageChunkIndexer& i, Result<int64_t> deleted) {
        if (!deleted.ok()) {
          i.logger_.error("Full indexing failed: %s", deleted.error().description().c_str());
          return i.endPass(Outcome::failed, deleted.error().description());
        }
        Pass& pass = *i.pass_;
        pass.deletedOldChunks = deleted.value();
        auto highest = i.deps_.reader->maxRowID();
        auto chats = highest.ok() ? i.deps_.reader->chatsWithCounts(0, pass.cutoff)
                                  : Result<std::vector<ChatInfo>>(highest.error());
        auto window = chats.ok() ? i.deps_.reader->messagesInWindowCount(pass.cutoff) : Result<int64_t>(chats.error());
        if (!window.ok()) {
          i.logger_.error("Full indexing failed: %s", window.error().description().c_str());
          return i.endPass(Outcome::failed, window.error().description());
        }
        pass.highestRowID = std::max(pass.highestRowID, highest.value());
        pass.chats = std::move(chats).value();
        if (Status marked = i.deps_.defaults->set(kFullPassInProgressKey, true); !marked.ok()) {
          i.logger_.error("Cannot record the full pass: %s", marked.error().description().c_str());
        }
        if (pass.resuming) {
          i.logger_.info("Continuing an interrupted full indexing pass");
        }
        i.logger_.info("Streaming indexing: %ld chats, %ld messages (within rolling window)", long(pass.chats.size()),
                       long(window.value()));
        i.progress_.totalMessages = window.value();
        i.setStatePhase(State::indexing, Phase::indexing);
        i.indexNextChat();
      }));
}

void MessageChunkIndexer::indexNextChat() {
  Pass& pass = *pass_;
  if (pass.nextChat >= pass.chats.size()) return finishFullIndexing();
  const ChatInfo chat = pass.chats[pass.nextChat++];
  auto messages = deps_.reader->chatMessages(chat.guid, 0, pass.cutoff);
  if (!messages.ok()) {
    logger_.error("Full indexing failed: %s", messages.error().description().c_str());
    return endPass(Outcome::failed, messages.error().description());
  }
  pass.summary.chats += 1;
  pass.summary.messages += int64_t(messages->size());
  progress_.processedMessages += int64_t(messages->size());
  for (const RawMessage& m : messages.value()) pass.highestRowID = std::max(pass.highestRowID, m.rowID);
  std::vector<MessageChunkRecord> records = pass.builder->buildRecords(messages.value(), chat.guid, chat.displayName);
  Step next = [](MessageChunkIndexer& i) {
    const int64_t total = std::max<int64_t>(i.progress_.totalMessages, 1);
    i.logger_.debug("Processed %ld/%ld messages (%ld%%), %ld chunks", long(i.progress_.processedMessages),
                    long(i.progress_.totalMessages), long(i.progress_.processedMessages * 100 / total),
                    long(i.pass_->summary.chunksStored));
    i.indexNextChat();
  };
  if (pass.resuming) return storeResumedConversation(chat.guid, std::move(records), std::move(next));
  encodeAndStoreChunks(std::move(records), 0, std::move(next));
}

void MessageChunkIndexer::storeResumedConversation(std::string chatGUID, std::vector<MessageChunkRecord> records,
                                                   Step then) {
  const uint64_t generation = pass_->generation;
  auto shared = std::make_shared<std::vector<MessageChunkRecord>>(std::move(records));
  deps_.store->getLastChunk(
      chatGUID, inPass<MessageChunkStore::LastChunk>(
                    generation, [chatGUID, shared, then](MessageChunkIndexer& i, MessageChunkStore::LastChunk last) {
                      // Chunks are stored in order, so a stored last chunk means the whole conversation is.
                      if (last && !shared->empty() && last->first == shared->back().identifier &&
                          last->second == shared->back().metadata) {
                        return i.encodeAndStoreChunks({}, 0, then);
                      }
                      if (!last) return i.encodeAndStoreChunks(std::move(*shared), 0, then);
                      i.removeConversationChunks(chatGUID, std::nullopt, [shared, then](MessageChunkIndexer& i) {
                        i.encodeAndStoreChunks(std::move(*shared), 0, then);
                      });
                    }));
}

// Removes a conversation's stored chunks one by one, last first.
void MessageChunkIndexer::removeConversationChunks(std::string chatGUID, std::optional<std::string> previous,
                                                   Step then) {
  const uint64_t generation = pass_->generation;
  deps_.store->getLastChunk(
      chatGUID,
      inPass<MessageChunkStore::LastChunk>(generation, [chatGUID, previous, then, generation](
                                                           MessageChunkIndexer& i, MessageChunkStore::LastChunk last) {
        if (!last) return then(i);
        if (previous && *previous == last->first) {
          i.logger_.error("Full indexing failed: a stored chunk cannot be removed");
          return i.endPass(Outcome::failed, "a stored chunk of an interrupted pass cannot be removed");
        }
        const std::string id = last->first;
        i.deps_.store->removeChunks(
            {id}, i.inPass<Status>(generation, [chatGUID, id, then](MessageChunkIndexer& i, Status removed) {
              if (!removed.ok()) {
                i.logger_.error("Full indexing failed: %s", removed.error().description().c_str());
                return i.endPass(Outcome::failed, removed.error().description());
              }
              i.removeConversationChunks(chatGUID, id, then);
            }));
      }));
}

void MessageChunkIndexer::finishFullIndexing() {
  const uint64_t generation = pass_->generation;
  const bool intentionallyEmpty = pass_->summary.chunksStored == 0 && pass_->deletedOldChunks > 0;
  MessageSaveIntent intent =
      intentionallyEmpty ? MessageSaveIntent::allowingEmpty("fullIndexing", "every chunk left the rolling window")
                         : MessageSaveIntent::routine("fullIndexing");
  deps_.store->save(
      intent, inPass<Status>(generation, [generation](MessageChunkIndexer& i, Status saved) {
        if (!saved.ok()) {
          i.logger_.error("Failed to save index after full indexing: %s", saved.error().description().c_str());
          return i.endPass(Outcome::failed, saved.error().description());
        }
        i.deps_.store->saveHNSW(i.inPass<Status>(generation, [](MessageChunkIndexer& i, Status graph) {
          if (!graph.ok()) {
            i.logger_.error("Failed to save index after full indexing: %s", graph.error().description().c_str());
          }
          const PassSummary& s = i.pass_->summary;
          i.logger_.info("Full indexing completed: %ld chunks from %ld messages in %ld chats", long(s.chunksStored),
                         long(s.messages), long(s.chats));
          TelemetryService::signal("MessageChunkIndexer.fullIndexingCompleted",
                                   {{"totalChunks", std::to_string(s.chunksStored)},
                                    {"totalMessages", std::to_string(s.messages)},
                                    {"totalChats", std::to_string(s.chats)}});
          i.recordLastIndexedRowID(i.pass_->highestRowID);
          (void)i.deps_.defaults->remove(kFullPassInProgressKey);
          i.endPass(Outcome::completed);
        }));
      }));
}

// MARK: - Incremental indexing and continuation

void MessageChunkIndexer::performIncrementalIndexing(int64_t afterRowID, int64_t limit) {
  Pass& pass = *pass_;
  auto messages = deps_.reader->newMessages(afterRowID, pass.cutoff, limit);
  if (!messages.ok()) {
    logger_.error("%s failed: %s", pass.summary.kind == PassSummary::Kind::poll ? "Poll check" : "Incremental indexing",
                  messages.error().description().c_str());
    return endPass(Outcome::failed, messages.error().description());
  }
  if (messages->empty()) {
    logger_.info("No new messages to index since ROWID %lld", static_cast<long long>(afterRowID));
    return endPass(Outcome::nothingNew);
  }
  logger_.info("Found %ld new messages to index", long(messages->size()));
  pass.summary.messages = int64_t(messages->size());
  progress_.totalMessages = pass.summary.messages;
  for (const RawMessage& m : messages.value()) pass.highestRowID = std::max(pass.highestRowID, m.rowID);
  pass.groups = groupByConversation(std::move(messages).value());
  pass.summary.chats = int64_t(pass.groups.size());
  updateNextConversation();
}

// The conversation's last chunk is taken back and re-chunked with the new
// messages, so a conversation that goes on keeps growing its last chunk
// (same identifier) instead of gaining a lone message.
void MessageChunkIndexer::updateNextConversation() {
  Pass& pass = *pass_;
  if (pass.nextGroup >= pass.groups.size()) return finishIncrementalIndexing();
  const size_t group = pass.nextGroup++;
  const uint64_t generation = pass.generation;
  deps_.store->getLastChunk(
      pass.groups[group].first,
      inPass<MessageChunkStore::LastChunk>(generation, [group, generation](MessageChunkIndexer& i,
                                                                           MessageChunkStore::LastChunk last) {
        auto chunkAndStore = [group](MessageChunkIndexer& i, std::vector<RawMessage> earlier) {
          Pass& pass = *i.pass_;
          auto& [chat, fresh] = pass.groups[group];
          std::map<int64_t, RawMessage> byRowID;
          for (RawMessage& m : earlier) byRowID.emplace(m.rowID, std::move(m));
          // A pass interrupted after storing chunks of these messages has
          // them before the last chunk already; only later ones join it.
          const int64_t stored = byRowID.empty() ? 0 : byRowID.rbegin()->first;
          for (const RawMessage& m : fresh) {
            if (m.rowID >= stored || byRowID.count(m.rowID)) byRowID.insert_or_assign(m.rowID, m);
          }
          std::vector<RawMessage> combined;
          for (auto& [id, m] : byRowID) combined.push_back(std::move(m));
          i.progress_.processedMessages += int64_t(fresh.size());
          std::vector<MessageChunkRecord> records = pass.builder->buildRecords(combined, chat, displayNameOf(combined));
          i.encodeAndStoreChunks(std::move(records), 0, [](MessageChunkIndexer& i) { i.updateNextConversation(); });
        };
        if (!last) return chunkAndStore(i, {});
        auto earlier = i.deps_.reader->messagesByRowIDs(last->second.messageRowIDs);
        if (!earlier.ok()) {
          i.logger_.error("Incremental indexing failed: %s", earlier.error().description().c_str());
          return i.endPass(Outcome::failed, earlier.error().description());
        }
        i.deps_.store->removeChunks(
            {last->first}, i.inPass<Status>(generation, [chunkAndStore, earlier = std::move(earlier).value()](
                                                            MessageChunkIndexer& i, Status removed) mutable {
              if (!removed.ok()) {
                i.logger_.error("Incremental indexing failed: %s", removed.error().description().c_str());
                return i.endPass(Outcome::failed, removed.error().description());
              }
              chunkAndStore(i, std::move(earlier));
            }));
      }));
}

void MessageChunkIndexer::finishIncrementalIndexing() {
  const uint64_t generation = pass_->generation;
  const bool poll = pass_->summary.kind == PassSummary::Kind::poll;
  deps_.store->save(
      MessageSaveIntent::routine(poll ? "polling" : "incrementalIndexing"),
      inPass<Status>(generation, [generation, poll](MessageChunkIndexer& i, Status saved) {
        if (!saved.ok()) {
          i.logger_.error(
              poll ? "Failed to save index after polling: %s" : "Failed to save index after incremental indexing: %s",
              saved.error().description().c_str());
          return i.endPass(Outcome::failed, saved.error().description());
        }
        i.deps_.store->saveHNSW(i.inPass<Status>(generation, [generation, poll](MessageChunkIndexer& i, Status graph) {
          if (!graph.ok()) {
            i.logger_.error(poll ? "Failed to save HNSW index during polling: %s"
                                 : "Failed to save HNSW index after incremental indexing: %s",
                            graph.error().description().c_str());
          }
          i.recordLastIndexedRowID(i.pass_->highestRowID);
          if (poll) {
            i.logger_.info("Poll found %ld new messages", long(i.pass_->summary.messages));
            return i.endPass(Outcome::completed);
          }
          i.deps_.store->state(
              i.inPass<MessageChunkStore::State>(generation, [](MessageChunkIndexer& i, MessageChunkStore::State s) {
                i.logger_.info("Incremental indexing completed, now have %ld chunks", long(s.chunkCount));
                i.endPass(Outcome::completed);
              }));
        }));
      }));
}

// MARK: - Storing chunks

void MessageChunkIndexer::encodeAndStoreChunks(std::vector<MessageChunkRecord> records, size_t from, Step then) {
  if (from >= records.size()) {
    // Through the runner, so a run of conversations without chunks does not nest calls.
    const uint64_t generation = pass_->generation;
    return post([generation, then](MessageChunkIndexer& i) {
      if (i.pass_ && i.pass_->generation == generation) then(i);
    });
  }
  const uint64_t generation = pass_->generation;
  auto shared = std::make_shared<std::vector<MessageChunkRecord>>(std::move(records));
  deps_.coordinator->acquire(
      kOwner, deps_.tuning.leaseTimeout,
      inPass<EmbeddingCoordinator::LeaseRef>(
          generation, [shared, from, then, generation](MessageChunkIndexer& i, EmbeddingCoordinator::LeaseRef lease) {
            if (!lease) {
              TelemetryService::signal("MessageChunkIndexer.coordinatorAcquireFailed", {{"context", "batch"}});
              i.logger_.info("Embedding coordinator unavailable for batch; deferring message indexing");
              return i.endPass(Outcome::deferred, "the embedding model is busy");
            }
            i.pass_->lease = lease;
            const auto [batchSize, pause] = intensityConfig(i.intensity_);
            const size_t end = std::min(shared->size(), from + batchSize);
            std::vector<ChunkInput> batch;
            for (size_t k = from; k < end; ++k) {
              const MessageChunkRecord& r = (*shared)[k];
              batch.push_back({r.identifier, r.text, r.metadata.toMap()});
            }
            const Duration wait = i.deps_.tuning.batchPauseOverride.value_or(pause);
            i.deps_.store->addChunks(
                std::move(batch), i.inPass<Status>(generation, [shared, from, end, then, lease, wait](
                                                                   MessageChunkIndexer& i, Status added) {
                  lease->release();
                  i.pass_->lease.reset();
                  if (!added.ok()) {
                    i.logger_.error("Failed to store message chunks: %s", added.error().description().c_str());
                    return i.endPass(Outcome::failed, added.error().description());
                  }
                  const int64_t count = int64_t(end - from);
                  i.pass_->summary.chunksStored += count;
                  i.progress_.indexedChunks += count;
                  i.progress_.totalChunks = std::max(i.progress_.totalChunks, i.progress_.indexedChunks);
                  i.markProgress();
                  const uint64_t generation = i.pass_->generation;
                  i.postDelayed(wait, i.pass_->timers, [shared, end, then, generation](MessageChunkIndexer& i) {
                    if (i.pass_ && i.pass_->generation == generation)
                      i.encodeAndStoreChunks(std::move(*shared), end, then);
                  });
                }));
          }));
}

// MARK: - Progress marker and window

int64_t MessageChunkIndexer::lastIndexedRowID() const {
  return deps_.defaults->integerValue(kLastIndexedRowIDKey).value_or(0);
}

void MessageChunkIndexer::recordLastIndexedRowID(int64_t rowID) {
  if (rowID <= lastIndexedRowID()) return;
  Status saved = deps_.defaults->set(kLastIndexedRowIDKey, rowID);
  if (!saved.ok()) logger_.error("Cannot record the indexed ROWID: %s", saved.error().description().c_str());
}

double MessageChunkIndexer::cutoff() const {
  return MessageHistoryReader::rollingWindowCutoff(deps_.runner->clock().wallNow(), deps_.timeZoneID);
}

}  // namespace pallix
