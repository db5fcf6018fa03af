#include "app/semantic/MessageEmbeddingStore.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "app/semantic/EmbeddingStoreErrors.h"
#include "core/FileUtil.h"
#include "core/Formatting.h"
#include "core/Strings.h"

namespace pallix {
namespace {

const EmbeddingStoreWording kMessageWording = {
    .category = "MessageEmbeddingStore",
    .indexName = MessageEmbeddingStore::kIndexName,
    .versionKey = MessageEmbeddingStore::kModelVersionKey,
    .signalPrefix = "MessageEmbedding",
    .storeSignalPrefix = "MessageEmbeddingStore",
    .resetNotification = MessageEmbeddingStore::kIndexWasResetNotification,
    .saveDirectoryPrefix = "Pallix-Save-",
    .graphSaveDirectoryPrefix = "Pallix-HNSW-Save-",
    .initializing = "Initializing message embedding store (metadata only)",
    .initFailed = "Failed to initialize embedding store: %s",
    .versionMissing = "Model version metadata missing for existing message embedding index; preserving on-disk index",
    .loaded = "Loaded %ld chunks from disk (model deferred)",
    .ready = "Message embedding store ready with %ld chunks (model deferred)",
    .skipEmptyGraph = "Skipping HNSW load for empty index (will build after indexing)",
    .graphMismatch = "HNSW node count mismatch (%ld vs %ld), deleting corrupt files",
    .graphReady = "HNSW index ready for fast search",
    .skipUnchangedSave = "Skipping save: no embedding changes since last persistence",
    .saved = "Saved %ld chunks (compressed)",
    .rebuildBlocked = "Blocked automatic message semantic index rebuild request from %s",
    .rebuildBlockedDescription = "Blocked automatic message semantic index rebuild request from ",
    .rebuilding = "Rebuilding message embedding index (source: %s)",
    .rebuilt = "Index rebuilt",
    .resetting = "Resetting message embedding store for model change",
    .resetComplete = "Message embedding store reset complete - ready for new model",
    .skipUnloadSave = "Skipping unload save: index unchanged",
    .unloaded = "Message embedding index unloaded from memory (preserved count: %ld, freed ~90MB model)",
    .reloading = "Reloading message embedding index from disk",
    .reloaded = "Reloaded %ld chunks from disk",
    .indexLabel = "message index",
    .repairCommand = "pallix messages index",
    .statusName = "semantic messages",
};

constexpr const char* kRequiredKeys[] = {"chatGUID",  "messageRowIDs", "messageGUIDs",
                                         "startDate", "endDate",       "combinedText"};

std::optional<double> parseSeconds(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string formatShortestDouble(double value) {
  char buffer[512];
  const double magnitude = std::fabs(value);
  const bool fixed = std::isfinite(value) && magnitude < 9007199254740992.0 && (magnitude >= 1e-4 || value == 0);
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                              fixed ? std::chars_format::fixed : std::chars_format::scientific);
  std::string out(buffer, result.ptr);
  if (fixed && out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::map<std::string, std::string> MessageChunkMetadata::toMap() const {
  return {{"chatGUID", chatGUID},
          {"messageRowIDs", nlohmann::json(messageRowIDs).dump()},
          {"messageGUIDs", nlohmann::json(messageGUIDs).dump()},
          {"startDate", formatShortestDouble(startDate)},
          {"endDate", formatShortestDouble(endDate)},
          {"combinedText", combinedText}};
}

Result<MessageChunkMetadata> MessageChunkMetadata::fromMap(const std::map<std::string, std::string>& map) {
  std::vector<std::string> missing;
  for (const char* key : kRequiredKeys) {
    if (map.count(key) == 0) missing.push_back(key);
  }
  if (!missing.empty()) return Error("ChunkMetadata", 1, "missing required fields: " + joinStrings(missing, ", "));
  MessageChunkMetadata m;
  m.chatGUID = map.at("chatGUID");
  m.combinedText = map.at("combinedText");
  try {
    m.messageGUIDs = nlohmann::json::parse(map.at("messageGUIDs")).get<std::vector<std::string>>();
  } catch (const std::exception& e) {
    return Error("ChunkMetadata", 2,
                 "Failed to decode messageGUIDs from '" + map.at("messageGUIDs") + "': " + e.what());
  }
  try {
    m.messageRowIDs = nlohmann::json::parse(map.at("messageRowIDs")).get<std::vector<int64_t>>();
  } catch (const std::exception& e) {
    return Error("ChunkMetadata", 2,
                 "Failed to decode messageRowIDs from '" + map.at("messageRowIDs") + "': " + e.what());
  }
  if (m.messageGUIDs.empty()) {
    return Error("ChunkMetadata", 3, "guids is empty but JSON was: '" + map.at("messageGUIDs") + "'");
  }
  if (m.messageRowIDs.empty()) {
    return Error("ChunkMetadata", 3, "rowIDs is empty but JSON was: '" + map.at("messageRowIDs") + "'");
  }
  auto start = parseSeconds(map.at("startDate"));
  auto end = parseSeconds(map.at("endDate"));
  if (!start || !end) return Error("ChunkMetadata", 4, "startDate or endDate is not a number");
  m.startDate = *start;
  m.endDate = *end;
  return m;
}

std::shared_ptr<MessageEmbeddingStore> MessageEmbeddingStore::create(Dependencies deps) {
  return std::shared_ptr<MessageEmbeddingStore>(new MessageEmbeddingStore(std::move(deps)));
}

MessageEmbeddingStore::MessageEmbeddingStore(Dependencies deps) : EmbeddingStore(std::move(deps), kMessageWording) {}

int64_t MessageEmbeddingStore::candidateCount(int64_t chunkCount, int limit) {
  if (chunkCount <= kSmallIndexChunkLimit) return std::min(chunkCount, kSmallIndexCandidateLimit);
  return std::min(std::max(int64_t(limit) * kCandidatesPerResult, kMinimumCandidates), chunkCount);
}

std::optional<MessageChunkMetadata> MessageEmbeddingStore::parseMetadata(
    const std::map<std::string, std::string>& map) const {
  auto parsed = MessageChunkMetadata::fromMap(map);
  if (!parsed.ok()) {
    logger_.error("parseMetadata: %s", parsed.error().description().c_str());
    return std::nullopt;
  }
  return std::move(parsed).value();
}

void MessageEmbeddingStore::willInitialize() {
  const std::string legacy = deps_.storeDirectory + "/" + kIndexName + ".dat";
  if (!fileExists(legacy)) return;
  logger_.info("Removing legacy BinaryStore file during migration to MMapStore");
  std::error_code ignored;
  std::filesystem::remove(legacy, ignored);
}

void MessageEmbeddingStore::checkChunks(const std::vector<ChunkInput>& chunks) {
  for (const auto& chunk : chunks) {
    auto empty = [&](const char* key) {
      auto it = chunk.metadata.find(key);
      return it == chunk.metadata.end() || it->second.empty() || it->second == "[]";
    };
    if (empty("messageGUIDs")) logger_.error("addChunks: Chunk '%s' has empty messageGUIDs array", chunk.id.c_str());
    if (empty("messageRowIDs")) logger_.error("addChunks: Chunk '%s' has empty messageRowIDs array", chunk.id.c_str());
  }
}

Status MessageEmbeddingStore::checkSave(int64_t itemCount, const std::optional<std::string>& emptySaveReason) {
  if (itemCount > 0 || lastPersistedChunkCount_ < 1) return okStatus();
  if (emptySaveReason) {
    logger_.info("Allowing intentional empty index save: %s", emptySaveReason->c_str());
    return okStatus();
  }
  logger_.error("Prevented destructive empty save with persisted baseline %ld",
                static_cast<long>(lastPersistedChunkCount_));
  signal("MessageEmbeddingStore.destructiveEmptySavePrevented",
         {{"lastPersistedChunkCount", std::to_string(lastPersistedChunkCount_)}});
  return SaveError::makeDestructiveEmptySaveBlocked(lastPersistedChunkCount_);
}

void MessageEmbeddingStore::didLoadItems(const std::vector<IndexItem>& items) {
  lastPersistedChunkCount_ = int64_t(items.size());
}

void MessageEmbeddingStore::didPersistItems(int64_t itemCount) {
  lastPersistedChunkCount_ = itemCount;
}

void MessageEmbeddingStore::didReset() {
  lastPersistedChunkCount_ = 0;
}

void MessageEmbeddingStore::memoryPressureNow() {
  cachedIndexItems_.clear();
  cachedIndexItems_.shrink_to_fit();
  cachedItemsLoaded_ = false;
  logger_.info("MessageEmbeddingStore cleared cached index items for memory pressure");
}

void MessageEmbeddingStore::searchSemanticOnly(std::string query, int limit, std::optional<ChunkDateRange> dateRange,
                                               CancellationToken cancellation,
                                               Completion<std::vector<MessageChunkSearchResult>> done) {
  postSelf<MessageEmbeddingStore>([=, query = std::move(query)](MessageEmbeddingStore& s) {
    s.searchNow(query, limit, dateRange, cancellation, done);
  });
}

void MessageEmbeddingStore::searchNow(const std::string& query, int limit,
                                      const std::optional<ChunkDateRange>& dateRange,
                                      const CancellationToken& cancellation,
                                      const Completion<std::vector<MessageChunkSearchResult>>& done) {
  if (cancellation.isCancelled()) return done({});
  if (!hasBeenInitialized_ || readinessState_ == ReadinessState::failed || !ensureIndexLoadedNow().ok()) {
    logger_.error("Cannot search: store not ready");
    return done({});
  }
  if (!index_) {
    logger_.error("Cannot search: index not available after model load");
    return done({});
  }
  const int64_t count = int64_t(index_->itemCount());
  const int64_t candidates = candidateCount(count, limit);
  auto run = [this, query, candidates, dateRange, cancellation, done] {
    if (cancellation.isCancelled() || !index_) return done({});
    auto results = searchIndexNow(query, int(candidates));
    if (!results.ok()) {
      logger_.error("Cannot search: %s", results.error().description().c_str());
      return done({});
    }
    if (cancellation.isCancelled()) return done({});
    done(collect(results.value(), dateRange));
  };
  if (count > kSmallIndexChunkLimit) {
    whenGraphLoaded(std::move(run));
  } else {
    run();
  }
}

std::vector<MessageChunkSearchResult> MessageEmbeddingStore::collect(
    const std::vector<SearchResult>& results, const std::optional<ChunkDateRange>& dateRange) const {
  std::vector<MessageChunkSearchResult> out;
  for (const auto& result : results) {
    auto metadata = parseMetadata(result.metadata);
    if (!metadata) continue;
    if (dateRange && !(dateRange->start <= metadata->endDate && metadata->startDate <= dateRange->end)) continue;
    out.push_back({result.id, result.score, std::move(*metadata)});
  }
  return out;
}

void MessageEmbeddingStore::removeChunks(std::vector<std::string> ids, Completion<Status> done) {
  postSelf<MessageEmbeddingStore>([ids = std::move(ids), done](MessageEmbeddingStore& s) {
    if (!s.ensureIndexLoadedNow().ok() || !s.index_) {
      s.logger_.error("Cannot remove chunks: store not ready");
      return done(Error::make("store not ready"));
    }
    s.removeItemsNow(ids);
    done(okStatus());
  });
}

void MessageEmbeddingStore::deleteChunksOlderThan(double cutoff, Completion<Result<int64_t>> done) {
  postSelf<MessageEmbeddingStore>([cutoff, done](MessageEmbeddingStore& s) {
    if (!s.hasBeenInitialized_ || !s.ensureIndexLoadedNow().ok()) {
      s.logger_.error("Cannot delete chunks: store not ready");
      return done(Error::make("store not ready"));
    }
    if (!s.index_) {
      s.logger_.error("Cannot delete chunks: index not available after model load");
      return done(Error::make("index not available after model load"));
    }
    std::vector<std::string> old;
    for (const auto& item : s.index_->items()) {
      auto it = item.metadata.find("endDate");
      auto end = it == item.metadata.end() ? std::nullopt : parseSeconds(it->second);
      if (end && *end < cutoff) old.push_back(item.id);
    }
    if (old.empty()) {
      s.logger_.info("No chunks older than cutoff date to delete");
      return done(int64_t(0));
    }
    const int64_t removed = int64_t(s.removeItemsNow(old));
    s.logger_.info("Deleted %ld chunks older than %s", static_cast<long>(removed),
                   isoDate(dateFromSecondsSince1970(cutoff)).c_str());
    done(removed);
  });
}

void MessageEmbeddingStore::getLastChunk(std::string chatGUID,
                                         Completion<std::optional<std::pair<std::string, MessageChunkMetadata>>> done) {
  postSelf<MessageEmbeddingStore>([chatGUID = std::move(chatGUID), done](MessageEmbeddingStore& s) {
    std::optional<std::pair<std::string, MessageChunkMetadata>> best;
    if (!s.ensureIndexLoadedNow().ok() || !s.index_) return done(best);
    for (const auto& item : s.index_->items()) {
      auto chat = item.metadata.find("chatGUID");
      if (chat == item.metadata.end() || chat->second != chatGUID) continue;
      auto metadata = s.parseMetadata(item.metadata);
      if (metadata && (!best || metadata->endDate > best->second.endDate)) best.emplace(item.id, std::move(*metadata));
    }
    done(best);
  });
}

void MessageEmbeddingStore::save(MessageSaveIntent intent, Completion<Status> done) {
  postSelf<MessageEmbeddingStore>(
      [intent = std::move(intent), done](MessageEmbeddingStore& s) { done(s.saveNow(intent.emptySaveReason)); });
}

void MessageEmbeddingStore::largestStoredRowID(Completion<std::optional<int64_t>> done) {
  postSelf<MessageEmbeddingStore>([done](MessageEmbeddingStore& s) {
    std::optional<int64_t> largest;
    if (!s.ensureIndexLoadedNow().ok() || !s.index_) return done(largest);
    for (const auto& item : s.index_->items()) {
      auto it = item.metadata.find("messageRowIDs");
      if (it == item.metadata.end()) continue;
      try {
        for (int64_t id : nlohmann::json::parse(it->second).get<std::vector<int64_t>>()) {
          if (!largest || id > *largest) largest = id;
        }
      } catch (const std::exception&) {
        continue;  // parseMetadata reports undecodable chunks where they are read
      }
    }
    done(largest);
  });
}

}  // namespace pallix
