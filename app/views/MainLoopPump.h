// MainLoopPump: joins Qt's event loop and our main-thread RunLoop. Qt's loop
// is the one that runs; a QTimer runs every task of the RunLoop that is due,
// often while the panel shows and rarely while it hides; the views call
// pumpNow() after each input so a keystroke's work runs before the repaint,
// and hot keys and socket requests wake it through DesktopAgent's runner.
// Tests of the logic never see Qt: they drive the RunLoop's tasks virtually.
//
// Threading: lives on the GUI thread, which is the main thread.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "core/RunLoop.h"

namespace pallix::views {

class MainLoopPump final : public QObject {
 public:
  static constexpr int kActiveIntervalMs = 4;
  static constexpr int kIdleIntervalMs = 200;

  explicit MainLoopPump(std::shared_ptr<RunLoop> loop, QObject* parent = nullptr);
  void setActive(bool active);
  void pumpNow();

 private:
  std::shared_ptr<RunLoop> loop_;
  QTimer timer_;
};

}  // namespace pallix::views
