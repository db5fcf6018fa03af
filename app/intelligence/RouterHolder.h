// RouterHolder: the query router of the intelligence coordinator through its
// life: built off the main thread by the factory on warm-up, given up after
// a 30 s time-out, dropped on unload (deep idle) and rebuilt by the next
// warm-up. A query that finds the router still building waits for it,
// notified when the build settles, for at most kRouterWarmupWait.
//
// Each warm-up starts a cycle; the route-failure and fallback logs are
// written once per cycle (takeRouteFailureLog, takeFallbackLog).
//
// Threading: main runner only; the factory runs on `routerRunner` and its
// answer hops back to the main runner. Owned by IntelligenceCoordinator;
// must be destroyed on the main runner.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/intelligence/QueryRouting.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"

namespace pallix {

struct RouterState {
  enum class Kind { failed, unloaded, initializing, ready, timedOut };
  Kind kind = Kind::unloaded;
  std::string failureReason;  // failed only
  friend bool operator==(const RouterState&, const RouterState&) = default;
};
const char* routerStateName(RouterState::Kind kind);

class RouterHolder {
 public:
  static constexpr Duration kRouterInitializationTimeout = std::chrono::seconds(30);
  static constexpr Duration kRouterWarmupWait = std::chrono::milliseconds(1200);

  // `routerRunner` null: the router is built and consulted on the main runner.
  // `factory` null: no router is installed (every build fails).
  RouterHolder(TaskRunnerPtr mainRunner, TaskRunnerPtr routerRunner, QueryRouterFactory factory);
  ~RouterHolder();
  RouterHolder(const RouterHolder&) = delete;
  RouterHolder& operator=(const RouterHolder&) = delete;

  // Starts a build unless the router exists, one is running, or the last one
  // failed or timed out (settled until unload()).
  void warmUpIfNeeded();
  void unload();
  // Runs `then` on the main runner once no build is running, or after
  // kRouterWarmupWait; at once when no build is running now.
  void awaitWarmup(std::function<void()> then);

  const RouterState& state() const { return state_; }
  bool resolved() const { return resolved_; }
  const std::shared_ptr<QueryRouting>& router() const { return router_; }
  const TaskRunnerPtr& runner() const { return routerRunner_; }
  // True the first time each is asked in a warm-up cycle.
  bool takeRouteFailureLog() { return !std::exchange(loggedRouteFailure_, true); }
  bool takeFallbackLog() { return !std::exchange(loggedFallback_, true); }

 private:
  void handleBuilt(uint64_t generation, Result<std::shared_ptr<QueryRouting>> result);
  void handleTimeout(uint64_t generation);
  void cancelBuild();
  // The build settled: every waiter goes on.
  void releaseWaiters();

  TaskRunnerPtr mainRunner_;
  TaskRunnerPtr routerRunner_;
  QueryRouterFactory factory_;
  Logger logger_{"IntelligenceCoordinator"};
  RouterState state_;
  bool resolved_ = false;
  std::shared_ptr<QueryRouting> router_;
  TaskHandle build_;
  TaskHandle timer_;
  uint64_t generation_ = 0;
  bool loggedRouteFailure_ = false;
  bool loggedFallback_ = false;
  struct Waiter {
    std::function<void()> then;
    TaskHandle timer;
  };
  std::map<uint64_t, Waiter> waiters_;
  uint64_t nextWaiter_ = 0;
  WeakGuard weak_;
};

}  // namespace pallix
