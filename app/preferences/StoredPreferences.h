// StoredPreferences: the machinery shared by the seven preference objects.
//
// PreferenceStorage holds the user-defaults store a preference object was
// created with, the object's `version` and its change-notification name, and
// performs the setter sequence: store the field, write the key, renew the
// version, post the notification. Preference objects are main-thread objects;
// they are not thread-safe.
#pragma once

#include <any>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.h"
#include "core/NotificationCenter.h"
#include "core/UUID.h"
#include "core/UserDefaults.h"

namespace pallix {

// The case whose raw value is `raw`, or nullopt for an unknown string.
template <typename E, size_t N>
std::optional<E> enumFromRaw(std::string_view raw, const std::array<std::string_view, N>& rawValues) {
  for (size_t i = 0; i < N; ++i) {
    if (rawValues[i] == raw) return static_cast<E>(i);
  }
  return std::nullopt;
}

class PreferenceStorage {
 public:
  // `notificationName` empty: the object posts no change notification.
  PreferenceStorage(UserDefaults& defaults, NotificationCenter& center, std::string notificationName)
      : defaults_(defaults), center_(center), notificationName_(std::move(notificationName)) {}

  UserDefaults& defaults() const { return defaults_; }
  NotificationCenter& center() const { return center_; }
  const UUID& version() const { return version_; }

  bool loadBool(const std::string& key, bool fallback) const { return defaults_.boolValue(key).value_or(fallback); }
  std::vector<std::string> loadStringArray(const std::string& key) const {
    return defaults_.stringArrayValue(key).value_or(std::vector<std::string>{});
  }
  template <typename E, size_t N>
  E loadEnum(const std::string& key, const std::array<std::string_view, N>& rawValues, E fallback) const {
    auto raw = defaults_.stringValue(key);
    if (!raw) return fallback;
    return enumFromRaw<E>(*raw, rawValues).value_or(fallback);
  }

  // The setter sequence. `write` stores the new value under its key and
  // returns the store's status. Does nothing when `value` equals `field`. A
  // failed write still counts as a change (the value lives on in memory); its
  // error is returned.
  template <typename T, typename Write>
  Status update(T& field, T value, Write write, const std::any& object) {
    if (field == value) return okStatus();
    field = std::move(value);
    Status written = write();
    renewVersionAndPost(object);
    return written;
  }

  // Takes a value re-read from the defaults into `field`; true when they differed.
  template <typename T>
  static bool adopt(T& field, const T& stored) {
    if (field == stored) return false;
    field = stored;
    return true;
  }

  void renewVersionAndPost(const std::any& object) {
    version_ = UUID::random();
    if (!notificationName_.empty()) center_.post(notificationName_, object);
  }

 private:
  UserDefaults& defaults_;
  NotificationCenter& center_;
  std::string notificationName_;
  UUID version_ = UUID::random();
};

}  // namespace pallix
