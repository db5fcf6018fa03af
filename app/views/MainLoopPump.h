// MainLoopPump: joins Qt's event loop and our main-thread RunLoop. Qt's loop
// is the one that runs; the pump runs every task of the RunLoop that is due,
// then arms a single-shot QTimer for the next one, so an idle panel wakes
// only when work is due. A task posted earlier than the next timer (from
// any thread: hot keys, socket requests, background results) wakes it
// through the RunLoop's wake hook. A slow tick (kSafetyIntervalMs) runs
// whatever a missed wake would have left waiting. The views call pumpNow()
// after each input so a keystroke's work runs before the repaint.
// Tests of the logic never see Qt: they drive the RunLoop's tasks virtually.
//
// Threading: lives on the GUI thread, which is the main thread; the wake
// hook it installs runs on any thread and only queues a call to pumpNow().
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>

#include "core/RunLoop.h"

namespace pallix::views {

class MainLoopPump final : public QObject {
 public:
  static constexpr int kSafetyIntervalMs = 1000;

  explicit MainLoopPump(std::shared_ptr<RunLoop> loop, QObject* parent = nullptr);
  ~MainLoopPump() override;
  void pumpNow();

 private:
  void scheduleNext();

  std::shared_ptr<RunLoop> loop_;
  QTimer timer_;
  QTimer safety_;
  // A queued pumpNow() is on its way: further wakes need not queue another.
  std::atomic<bool> wakeQueued_{false};
};

}  // namespace pallix::views
