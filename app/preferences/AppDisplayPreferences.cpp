#include "app/preferences/AppDisplayPreferences.h"

#include <string>

namespace pallix {

AppDisplayPreferences::AppDisplayPreferences(UserDefaults& defaults, NotificationCenter& center)
    : storage_(defaults, center, /*notificationName=*/""),
      appNameDisplayMode_(
          storage_.loadEnum(kAppNameDisplayModeKey, kAppNameDisplayModeRawValues, kDefaultAppNameDisplayMode)),
      panelPosition_(storage_.loadEnum(kPanelPositionKey, kPanelPositionRawValues, kDefaultPanelPosition)) {}

Status AppDisplayPreferences::setAppNameDisplayMode(AppNameDisplayMode mode) {
  return storage_.update(
      appNameDisplayMode_, mode,
      [&] { return storage_.defaults().set(kAppNameDisplayModeKey, std::string(rawValue(mode))); }, this);
}

Status AppDisplayPreferences::setPanelPosition(PanelPosition position) {
  return storage_.update(
      panelPosition_, position,
      [&] { return storage_.defaults().set(kPanelPositionKey, std::string(pallix::rawValue(position))); }, this);
}

void AppDisplayPreferences::reloadFromDefaults() {
  NotificationCenter unheard;
  const AppDisplayPreferences stored(storage_.defaults(), unheard);
  bool changed = false;
  changed |= PreferenceStorage::adopt(appNameDisplayMode_, stored.appNameDisplayMode_);
  changed |= PreferenceStorage::adopt(panelPosition_, stored.panelPosition_);
  if (changed) storage_.renewVersionAndPost(this);
}

}  // namespace pallix
