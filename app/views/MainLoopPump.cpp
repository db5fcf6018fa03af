#include "app/views/MainLoopPump.h"

#include <chrono>

namespace pallix::views {

MainLoopPump::MainLoopPump(std::shared_ptr<RunLoop> loop, QObject* parent) : QObject(parent), loop_(std::move(loop)) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { pumpNow(); });
  connect(&safety_, &QTimer::timeout, this, [this] { pumpNow(); });
  safety_.start(kSafetyIntervalMs);
  loop_->setWakeHook([this] {
    if (wakeQueued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { pumpNow(); }, Qt::QueuedConnection);
  });
  scheduleNext();
}

MainLoopPump::~MainLoopPump() {
  loop_->setWakeHook(nullptr);
}

void MainLoopPump::pumpNow() {
  wakeQueued_.store(false);
  loop_->runUntilIdle();
  scheduleNext();
}

void MainLoopPump::scheduleNext() {
  const auto next = loop_->timeUntilNextTask();
  if (!next) {
    timer_.stop();
    return;
  }
  // Rounded up: a timer that fires before the task is due would find
  // nothing to run and spin until it is.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next).count();
  timer_.start(static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000)));
}

}  // namespace pallix::views
