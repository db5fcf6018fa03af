// IndexingCompletionTracker: when a semantic index was last completed and
// over which content, so that a full pass over unchanged content is skipped.
//
// One record per index ("files", later "messages") in the user defaults under
// "IndexingCompletionTracker.<scope>": {"timestamp", "fileCount",
// "messageCount", "contentHash"}. The content hash is the indexer's choice;
// the file indexer hashes every collected file's path, size and modification
// time with the folder list and the model version (contentHash below).
// Thread-safe (UserDefaults is).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/UserDefaults.h"

namespace pallix {

struct IndexingCompletionRecord {
  Date timestamp{};
  int64_t fileCount = 0;
  int64_t messageCount = 0;
  std::string contentHash;
};

// One file as the hash sees it.
struct ContentHashEntry {
  std::string path;
  int64_t size = 0;
  double modifiedDate = 0;
};

class IndexingCompletionTracker {
 public:
  static constexpr const char* kKeyPrefix = "IndexingCompletionTracker.";

  IndexingCompletionTracker(UserDefaults& defaults, std::string scope)
      : defaults_(defaults), key_(kKeyPrefix + std::move(scope)) {}

  const std::string& key() const { return key_; }
  std::optional<IndexingCompletionRecord> lastCompletion() const;
  // True when no record exists or its hash differs.
  bool needsReindexing(const std::string& contentHash) const;
  Status recordCompletion(const IndexingCompletionRecord& record);
  Status clear();

  // 16 hex digits of a 64-bit FNV-1a over the entries (in the given order),
  // the folders and `salt`.
  static std::string contentHash(const std::vector<std::string>& folders, const std::vector<ContentHashEntry>& entries,
                                 const std::string& salt);

 private:
  UserDefaults& defaults_;
  std::string key_;
};

}  // namespace pallix
