// SettingsWindow: a small window over the preference objects (folders,
// semantic search, clipboard history, messages, data sources, the panel's
// position and the five shortcuts). Every change goes through a preference
// object, so the services react through its notifications; shortcuts go
// through the window manager, which refuses what it cannot register.
//
// Threading: GUI thread. The agent outlives the window.
#pragma once

#include <QLabel>
#include <QWidget>

#include "app/shell/DesktopAgent.h"

namespace pallix::views {

class SettingsWindow final : public QWidget {
 public:
  explicit SettingsWindow(DesktopAgent& agent);
  void present();

 private:
  QWidget* buildGeneral();
  QWidget* buildShortcuts();
  void report(const Status& status);

  DesktopAgent& agent_;
  QLabel* status_ = nullptr;
};

}  // namespace pallix::views
