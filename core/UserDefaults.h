// UserDefaults: the persistent key/value store behind every setting.
//
// One JSON object in one file, rewritten atomically after every change.
// Values are typed: bool, integer, double, string, string array,
// string-to-value dictionary and date (stored as {"$date": seconds since
// 1970}). A typed getter returns nullopt when the key is absent or holds
// another type, so callers fall back to their defaults. A file that cannot be
// parsed is set aside as "<file>.corrupt" and the store starts empty.
// Thread-safe; writes happen on the calling thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"

namespace pallix {

class UserDefaults {
 public:
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
  Status storeLocked(const std::string& key, nlohmann::json value);
  Status flushLocked();

  std::string path_;
  std::optional<Error> loadError_;
  mutable std::mutex mutex_;
  nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace pallix
