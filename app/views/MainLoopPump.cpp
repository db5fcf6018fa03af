#include "app/views/MainLoopPump.h"

namespace pallix::views {

MainLoopPump::MainLoopPump(std::shared_ptr<RunLoop> loop, QObject* parent) : QObject(parent), loop_(std::move(loop)) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { pumpNow(); });
  timer_.start(kIdleIntervalMs);
}

void MainLoopPump::setActive(bool active) {
  timer_.setInterval(active ? kActiveIntervalMs : kIdleIntervalMs);
}

void MainLoopPump::pumpNow() {
  loop_->runUntilIdle();
}

}  // namespace pallix::views
