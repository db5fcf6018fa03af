// AppDisplayPreferences: when app names are shown in the panel and where the
// panel appears. Posts no notification; the panel reads it directly.
#pragma once

#include <array>
#include <string_view>

#include "app/preferences/PanelPosition.h"
#include "app/preferences/StoredPreferences.h"

namespace pallix {

class AppDisplayPreferences {
 public:
  enum class AppNameDisplayMode { onShortcutPress, always };
  static constexpr std::array<std::string_view, 2> kAppNameDisplayModeRawValues = {"onShortcutPress", "always"};
  static constexpr std::string_view rawValue(AppNameDisplayMode v) {
    return kAppNameDisplayModeRawValues[static_cast<size_t>(v)];
  }

  static constexpr const char* kAppNameDisplayModeKey = "AppDisplayPreferences.appNameDisplayMode";
  static constexpr const char* kPanelPositionKey = "AppDisplayPreferences.panelPosition";
  static constexpr AppNameDisplayMode kDefaultAppNameDisplayMode = AppNameDisplayMode::onShortcutPress;
  static constexpr PanelPosition kDefaultPanelPosition = PanelPosition::bottomTrailing;

  explicit AppDisplayPreferences(UserDefaults& defaults,
                                 NotificationCenter& center = NotificationCenter::defaultCenter());

  const UUID& version() const { return storage_.version(); }

  AppNameDisplayMode appNameDisplayMode() const { return appNameDisplayMode_; }
  PanelPosition panelPosition() const { return panelPosition_; }

  Status setAppNameDisplayMode(AppNameDisplayMode mode);
  Status setPanelPosition(PanelPosition position);

  // Re-reads every key from the defaults store after another process changed
  // it; on any difference renews `version` and posts nothing, as a setter would.
  void reloadFromDefaults();

 private:
  PreferenceStorage storage_;
  AppNameDisplayMode appNameDisplayMode_;
  PanelPosition panelPosition_;
};

}  // namespace pallix
