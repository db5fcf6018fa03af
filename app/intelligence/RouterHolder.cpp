#include "app/intelligence/RouterHolder.h"

#include <utility>

#include "core/Telemetry.h"

namespace pallix {

const char* routerStateName(RouterState::Kind kind) {
  switch (kind) {
    case RouterState::Kind::failed:
      return "failed";
    case RouterState::Kind::unloaded:
      return "unloaded";
    case RouterState::Kind::initializing:
      return "initializing";
    case RouterState::Kind::ready:
      return "ready";
    case RouterState::Kind::timedOut:
      return "timedOut";
  }
  return "unloaded";
}

RouterHolder::RouterHolder(TaskRunnerPtr mainRunner, TaskRunnerPtr routerRunner, QueryRouterFactory factory)
    : mainRunner_(std::move(mainRunner)),
      routerRunner_(routerRunner ? std::move(routerRunner) : mainRunner_),
      factory_(std::move(factory)) {}

RouterHolder::~RouterHolder() {
  cancelBuild();
  for (auto& [id, waiter] : waiters_) waiter.timer.cancel();
}

void RouterHolder::cancelBuild() {
  build_.cancel();
  timer_.cancel();
  build_ = {};
  timer_ = {};
}

void RouterHolder::warmUpIfNeeded() {
  if (router_) {
    state_ = RouterState{RouterState::Kind::ready, {}};
    return;
  }
  if (build_.valid()) return;
  // A failed or timed-out attempt stays settled until the router is unloaded.
  if (resolved_ && (state_.kind == RouterState::Kind::failed || state_.kind == RouterState::Kind::timedOut)) return;
  resolved_ = false;
  state_ = RouterState{RouterState::Kind::initializing, {}};
  loggedFallback_ = false;
  loggedRouteFailure_ = false;
  const uint64_t generation = ++generation_;
  build_ = TaskHandle::make();
  timer_ = TaskHandle::make();

  auto onBuilt = weak_.wrap(
      [this, generation](Result<std::shared_ptr<QueryRouting>> result) { handleBuilt(generation, std::move(result)); });
  routerRunner_->post([factory = factory_, build = build_, main = mainRunner_, onBuilt]() mutable {
    if (build.isCancelled()) return;
    auto hopBack = [build, main, onBuilt](Result<std::shared_ptr<QueryRouting>> result) mutable {
      if (result.ok() && !result.value()) {
        result = Error("IntelligenceCoordinator", 2, "The router factory returned no router");
      }
      main->post([build, onBuilt, result = std::move(result)]() mutable {
        if (!build.isCancelled()) onBuilt(std::move(result));
      });
    };
    if (!factory) {
      hopBack(Error("IntelligenceCoordinator", 1, "No query router is installed"));
      return;
    }
    factory(build.token(), std::move(hopBack));
  });
  mainRunner_->postDelayedWithHandle(kRouterInitializationTimeout, timer_,
                                     weak_.wrap([this, generation] { handleTimeout(generation); }));
}

void RouterHolder::handleBuilt(uint64_t generation, Result<std::shared_ptr<QueryRouting>> result) {
  if (generation != generation_ || resolved_) return;
  resolved_ = true;
  timer_.cancel();
  build_ = {};
  timer_ = {};
  if (result.ok()) {
    router_ = std::move(result.value());
    state_ = RouterState{RouterState::Kind::ready, {}};
    logger_.info("PallixRouter initialized successfully (async)");
  } else {
    const Error& error = result.error();
    logger_.error("PallixRouter initialization failed domain=%s code=%ld message=%s", error.domain().c_str(),
                  static_cast<long>(error.code()), error.description().c_str());
    state_ = RouterState{RouterState::Kind::failed, error.description()};
    TelemetryService::errorOccurred("IntelligenceCoordinator.routerInitFailed", "IntelligenceCoordinator",
                                    error.description(), errorTelemetryParameters(error));
  }
  releaseWaiters();
}

void RouterHolder::handleTimeout(uint64_t generation) {
  if (generation != generation_ || resolved_) return;
  resolved_ = true;
  build_.cancel();
  build_ = {};
  timer_ = {};
  state_ = RouterState{RouterState::Kind::timedOut, {}};
  const long long timeout = std::chrono::duration_cast<std::chrono::seconds>(kRouterInitializationTimeout).count();
  logger_.error("PallixRouter initialization timed out after %lld seconds", timeout);
  TelemetryService::errorOccurred("IntelligenceCoordinator.routerInitTimeout", "IntelligenceCoordinator",
                                  "Router initialization timed out", {{"timeoutSeconds", std::to_string(timeout)}});
  releaseWaiters();
}

void RouterHolder::unload() {
  cancelBuild();
  ++generation_;
  router_.reset();
  resolved_ = false;
  if (state_.kind != RouterState::Kind::unloaded) {
    state_ = RouterState{RouterState::Kind::unloaded, {}};
    logger_.info("PallixRouter unloaded");
  }
  releaseWaiters();
}

void RouterHolder::awaitWarmup(std::function<void()> then) {
  if (router_ || state_.kind != RouterState::Kind::initializing) {
    then();
    return;
  }
  const uint64_t id = nextWaiter_++;
  TaskHandle timer = mainRunner_->postDelayed(kRouterWarmupWait, weak_.wrap([this, id] {
    auto it = waiters_.find(id);
    if (it == waiters_.end()) return;
    std::function<void()> then = std::move(it->second.then);
    waiters_.erase(it);
    then();
  }));
  waiters_.emplace(id, Waiter{std::move(then), timer});
}

void RouterHolder::releaseWaiters() {
  auto waiters = std::exchange(waiters_, {});
  for (auto& [id, waiter] : waiters) {
    waiter.timer.cancel();
    mainRunner_->post(std::move(waiter.then));
  }
}

}  // namespace pallix
