#include "app/semantic/IndexingCompletionTracker.h"

#include <cstring>

#include "core/Strings.h"

namespace pallix {
namespace {

class Fnv1a {
 public:
  void add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) hash_ = (hash_ ^ bytes[i]) * 1099511628211ull;
  }
  void add(const std::string& s) {
    add(s.data(), s.size());
    add("\0", 1);
  }
  template <typename T>
  void addValue(T value) {
    add(&value, sizeof value);
  }
  uint64_t value() const { return hash_; }

 private:
  uint64_t hash_ = 1469598103934665603ull;
};

}  // namespace

std::optional<IndexingCompletionRecord> IndexingCompletionTracker::lastCompletion() const {
  auto stored = defaults_.dictionaryValue(key_);
  if (!stored || !stored->is_object()) return std::nullopt;
  const nlohmann::json& j = *stored;
  if (!j.contains("contentHash") || !j["contentHash"].is_string()) return std::nullopt;
  IndexingCompletionRecord record;
  record.contentHash = j["contentHash"].get<std::string>();
  if (j.contains("timestamp") && j["timestamp"].is_number()) {
    record.timestamp = dateFromSecondsSince1970(j["timestamp"].get<double>());
  }
  if (j.contains("fileCount") && j["fileCount"].is_number_integer()) record.fileCount = j["fileCount"].get<int64_t>();
  if (j.contains("messageCount") && j["messageCount"].is_number_integer()) {
    record.messageCount = j["messageCount"].get<int64_t>();
  }
  return record;
}

bool IndexingCompletionTracker::needsReindexing(const std::string& contentHash) const {
  auto record = lastCompletion();
  return !record || record->contentHash != contentHash;
}

Status IndexingCompletionTracker::recordCompletion(const IndexingCompletionRecord& record) {
  return defaults_.setDictionary(key_, {{"timestamp", secondsSince1970(record.timestamp)},
                                        {"fileCount", record.fileCount},
                                        {"messageCount", record.messageCount},
                                        {"contentHash", record.contentHash}});
}

Status IndexingCompletionTracker::clear() {
  return defaults_.remove(key_);
}

std::string IndexingCompletionTracker::contentHash(const std::vector<std::string>& folders,
                                                   const std::vector<ContentHashEntry>& entries,
                                                   const std::string& salt) {
  Fnv1a hash;
  hash.add(salt);
  for (const auto& folder : folders) hash.add(folder);
  hash.addValue(uint64_t(entries.size()));
  for (const auto& entry : entries) {
    hash.add(entry.path);
    hash.addValue(entry.size);
    hash.addValue(entry.modifiedDate);
  }
  return stringPrintf("%016llx", static_cast<unsigned long long>(hash.value()));
}

}  // namespace pallix
