// UserDefaults: the persistent key/value store behind every setting.
//
// One JSON object in one file (0600), shared by every Pallix process. Values
// are typed: bool, integer, double, string, string array, string-to-value
// dictionary and date (stored as {"$date": seconds since 1970}). A typed
// getter returns nullopt when the key is absent or holds another type, so
// callers fall back to their defaults.
//
// Strings hold bytes. One that is not UTF-8 (a folder named in Latin-1) is
// written as {"$bytes": "<standard base64 of the bytes>"} and read back as
// the same bytes, so the file stays JSON and nothing is lost; a one-key
// object of that shape is reserved, as {"$date": ...} is. Keys must be UTF-8.
//
// The file nests at most kMaximumDepth arrays and objects (the top object
// counts). A deeper file is refused with a message and left as it is; a
// deeper value is refused by the setter.
//
// Sharing: a write takes an exclusive lock on "<file>.lock", re-reads the
// file, changes only its own key and replaces the file atomically, so writes
// of different keys from several processes never undo each other; the values
// in memory then match the file. Getters answer from memory: a long-lived
// process calls reload() when the file changed (DefaultsFileWatcher). A key
// another process changed and a write of this process took in along the way
// is remembered, so that the next reload() still reports it.
//
// A file that cannot be parsed is set aside as "<file>.corrupt"; at
// construction the store then starts empty, at a write it keeps the values it
// knew. Thread-safe; writes happen on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

// Domain "UserDefaultsError".
enum class UserDefaultsErrorCode { notAnObject = 1, notADictionary = 2, tooDeep = 3, keyNotUtf8 = 4 };

class UserDefaults {
 public:
  static constexpr int kMaximumDepth = 64;
  // The largest settings file read.
  static constexpr uint64_t kMaximumFileSize = uint64_t{16} << 20;

  // `value` as the file holds it: strings that are not UTF-8 as {"$bytes":
  // ...}. Fails on keys that are not UTF-8 and on nesting deeper than
  // kMaximumDepth, counting `level` for `value` itself.
  static Result<nlohmann::json> storedForm(const nlohmann::json& value, int level = 1);

  // An in-memory store that never touches the disk (tests).
  UserDefaults();
  // Loads `path` if it exists. A load problem is reported by loadError() and
  // never fails construction.
  explicit UserDefaults(std::string path);

  const std::string& path() const { return path_; }
  // Why the file could not be loaded, if it could not (e.g. corrupt JSON).
  const std::optional<Error>& loadError() const { return loadError_; }

  bool contains(const std::string& key) const;
  std::optional<bool> boolValue(const std::string& key) const;
  // Integers only; a stored 1.5 is not an integer.
  std::optional<int64_t> integerValue(const std::string& key) const;
  // Doubles and integers.
  std::optional<double> doubleValue(const std::string& key) const;
  std::optional<std::string> stringValue(const std::string& key) const;
  // Arrays whose every element is a string.
  std::optional<std::vector<std::string>> stringArrayValue(const std::string& key) const;
  std::optional<nlohmann::json> dictionaryValue(const std::string& key) const;
  std::optional<Date> dateValue(const std::string& key) const;
  // The raw stored JSON value (for display).
  std::optional<nlohmann::json> rawValue(const std::string& key) const;
  std::vector<std::string> keys() const;

  // Re-reads the file (written by another process) and returns the keys whose
  // values another process added, changed or removed since the last reload,
  // including those a write of this process took in meanwhile; this process's
  // own writes are not among them. A missing file means no values; a file
  // that cannot be read or parsed keeps the current values and fails.
  Result<std::vector<std::string>> reload();

  Status set(const std::string& key, bool value);
  Status set(const std::string& key, int64_t value);
  Status set(const std::string& key, int value) { return set(key, static_cast<int64_t>(value)); }
  Status set(const std::string& key, double value);
  Status set(const std::string& key, const std::string& value);
  Status set(const std::string& key, const char* value) { return set(key, std::string(value)); }
  Status set(const std::string& key, const std::vector<std::string>& value);
  Status setDictionary(const std::string& key, const nlohmann::json& object);
  Status setDate(const std::string& key, Date value);
  Status setRaw(const std::string& key, nlohmann::json value);
  Status remove(const std::string& key);

 private:
  // Applies `edit` to the file's current values under the file lock and
  // writes the result back when it differs.
  Status modify(const std::function<void(nlohmann::json&)>& edit);
  // The file's values, strings decoded; nothing when the file is absent.
  Result<nlohmann::json> readFile() const;

  std::string path_;
  std::optional<Error> loadError_;
  mutable Mutex mutex_;
  nlohmann::json values_ GUARDED_BY(mutex_) = nlohmann::json::object();
  // Keys other processes changed that a write took in before any reload.
  std::set<std::string> absorbedKeys_ GUARDED_BY(mutex_);
};

}  // namespace pallix
