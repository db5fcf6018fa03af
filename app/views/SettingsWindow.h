// SettingsWindow: a small window over the preference objects (folders,
// semantic search, clipboard history, messages, data sources, the panel's
// position and the five shortcuts), and the Status page (what each source
// costs). Every change goes through a preference
// object, so the services react through its notifications; shortcuts go
// through the window manager, which refuses what it cannot register.
//
// Threading: GUI thread. The agent outlives the window.
#pragma once

#include <QLabel>
#include <QTabWidget>
#include <QWidget>

#include "app/shell/DesktopAgent.h"
#include "app/views/StatusPage.h"

namespace pallix::views {

class SettingsWindow final : public QWidget {
 public:
  explicit SettingsWindow(DesktopAgent& agent);
  void present();
  // Shows the Status tab and writes the window as a PNG (the agent's
  // "settings snapshot" request).
  Status writeStatusSnapshot(const std::string& path);

 private:
  QWidget* buildGeneral();
  QWidget* buildShortcuts();
  void report(const Status& status);

  DesktopAgent& agent_;
  QLabel* status_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  StatusPage* statusPage_ = nullptr;
};

}  // namespace pallix::views
