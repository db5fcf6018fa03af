// TelemetryPreferences: whether anonymised usage signals are recorded. Read
// once at start-up; a change takes effect at the next launch. Posts no
// notification.
#pragma once

#include "app/preferences/StoredPreferences.h"

namespace pallix {

class TelemetryPreferences {
 public:
  static constexpr const char* kTelemetryEnabledKey = "TelemetryPreferences.telemetryEnabled";
  static constexpr bool kDefaultTelemetryEnabled = true;

  explicit TelemetryPreferences(UserDefaults& defaults,
                                NotificationCenter& center = NotificationCenter::defaultCenter())
      : storage_(defaults, center, /*notificationName=*/""),
        telemetryEnabled_(storage_.loadBool(kTelemetryEnabledKey, kDefaultTelemetryEnabled)) {}

  const UUID& version() const { return storage_.version(); }
  bool telemetryEnabled() const { return telemetryEnabled_; }
  Status setTelemetryEnabled(bool enabled) {
    return storage_.update(
        telemetryEnabled_, enabled, [&] { return storage_.defaults().set(kTelemetryEnabledKey, enabled); }, this);
  }

  // Re-reads the key after another process changed it (the sink installed
  // at start-up stays as it is until the next launch).
  void reloadFromDefaults() {
    if (PreferenceStorage::adopt(telemetryEnabled_,
                                 storage_.loadBool(kTelemetryEnabledKey, kDefaultTelemetryEnabled))) {
      storage_.renewVersionAndPost(this);
    }
  }

 private:
  PreferenceStorage storage_;
  bool telemetryEnabled_;
};

}  // namespace pallix
