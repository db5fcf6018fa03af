// StatusPage: the settings window's Status tab: the agent's CPU, memory and
// open files, and a table of what each source and index costs (items,
// disk, memory, last pass, latency, today's web requests, pauses), from
// the same report `pallix status` prints. It refreshes every two seconds
// while it is shown.
//
// Threading: GUI thread, which is the agent's main loop thread; the
// delegate outlives the page.
#pragma once

#include <QLabel>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>

#include "app/shell/AppDelegate.h"

namespace pallix::views {

class StatusPage final : public QWidget {
 public:
  explicit StatusPage(AppDelegate& delegate);
  // Reads the report again and redraws.
  void refresh();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  AppDelegate& delegate_;
  QLabel* agent_ = nullptr;
  QTableWidget* table_ = nullptr;
  QTimer timer_;
};

}  // namespace pallix::views
