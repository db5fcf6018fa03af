// PanelLifecycleCoordinator: the single authority that tells background
// services how hard they may work.
//
// It tracks whether the panel is on screen, when it was hidden, Low Power
// Mode, the thermal state and memory pressure (through SystemConditions),
// derives the WorkMode from them and calls the handlers that services
// register: visibility handlers (show, hide, 5 s after a hide, memory
// pressure), work-mode handlers and memory-pressure handlers.
//
// Threading: every public operation must be called on the main runner given at
// construction, and every handler runs there. Handlers are plain synchronous
// callbacks: one dispatch is one task posted to the main runner that calls the
// handlers of one table one after the other; the dispatch works on a snapshot
// of the table taken when that task starts, so registrations made by a handler
// take effect from the next dispatch. Timers (5 s delayed hide, 30 s and
// 120 s idle transitions) are delayed tasks on the main runner, timed by its
// monotonic clock; `lastHiddenDate` is wall-clock time from the same Clock.
// Telemetry signals are sent from their own main-runner task.
//
// One process-wide instance, shared(), is configured once at start-up with
// configureShared(); tests construct their own instances.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/platform/SystemConditions.h"
#include "core/Clock.h"
#include "core/Error.h"
#include "core/SequenceChecker.h"
#include "core/TaskRunner.h"
#include "core/UUID.h"
#include "core/WorkMode.h"

namespace pallix {

class PanelLifecycleCoordinator final : public WorkModeRegistry {
 public:
  using Callback = std::function<void()>;
  using WorkModeCallback = std::function<void(WorkMode)>;
  // Receives MemoryPressureEvent bits (warning, critical).
  using MemoryPressureCallback = std::function<void(uint32_t)>;

  struct VisibilityHandler {
    Callback onShow;            // required
    Callback onHide;            // required
    Callback onDelayedHide;     // optional
    Callback onMemoryPressure;  // optional
  };

  static constexpr Duration kUnloadDelay = std::chrono::seconds(5);
  static constexpr Duration kIdleDelay = std::chrono::seconds(30);
  static constexpr Duration kDeepIdleDelay = std::chrono::seconds(120);

  // Reads Low Power Mode and the thermal state from `conditions`, starts
  // observing it and evaluates the work mode with reason "init".
  // `conditions` must outlive the coordinator.
  PanelLifecycleCoordinator(TaskRunnerPtr mainRunner, SystemConditions& conditions);
  ~PanelLifecycleCoordinator() override;
  PanelLifecycleCoordinator(const PanelLifecycleCoordinator&) = delete;
  PanelLifecycleCoordinator& operator=(const PanelLifecycleCoordinator&) = delete;

  // Creates the process-wide instance. Fails when it already exists.
  static Status configureShared(TaskRunnerPtr mainRunner, SystemConditions& conditions);
  // The process-wide instance. Must not be called before configureShared().
  static PanelLifecycleCoordinator& shared();
  static bool isSharedConfigured();

  // Called by the panel window just before the panel is presented.
  void panelWillShow();
  // Called by the panel window once hiding has completed.
  void panelDidHide();
  // Launch with the panel not shown: the state as if the panel had just been
  // hidden (lastHiddenDate now, reason "initialHiddenState", idle transitions
  // and the delayed-hide task), so a hidden app reaches deepIdle after 120 s.
  void enterInitialHiddenState();

  UUID registerVisibilityHandler(Callback onShow, Callback onHide, Callback onDelayedHide = {},
                                 Callback onMemoryPressure = {});
  UUID registerWorkModeHandler(WorkModeCallback onChange) override;
  UUID registerMemoryPressureHandler(MemoryPressureCallback onPressure);
  // Removes `id` from whichever table holds it; an unknown id is no error.
  void unregister(const UUID& id) override;

  bool isPanelVisible() const { return isPanelVisible_; }
  WorkMode workMode() const override { return workMode_; }
  std::optional<Date> lastHiddenDate() const { return lastHiddenDate_; }
  bool isLowPowerModeEnabled() const { return isLowPowerModeEnabled_; }
  ThermalState thermalState() const { return thermalState_; }
  bool hasPendingDelayedHide() const { return delayedUnloadTask_.valid(); }

  size_t visibilityHandlerCount() const { return visibilityHandlers_.size(); }
  size_t workModeHandlerCount() const { return workModeHandlers_.size(); }
  size_t memoryPressureHandlerCount() const { return memoryPressureHandlers_.size(); }

  // The mode the current inputs give, without changing anything.
  WorkMode resolveWorkMode() const;
  // Resolves the mode; on a change stores it, sends
  // "PanelLifecycle.workModeChanged" and dispatches to the work-mode handlers.
  void updateWorkMode(const std::string& reason);
  // Cancels and restarts the 30 s and 120 s re-evaluations.
  void scheduleIdleTransitions();
  // Cancels any pending delayed-hide task and starts a new one (5 s).
  void startDelayedHideTask();

 private:
  void handlePowerStateChange();
  void handleThermalStateChange();
  void handleMemoryPressure(uint32_t event);
  void sendObserverCount();
  void sendSignal(std::string name, std::map<std::string, std::string> parameters);
  void cancelIdleTransitions();

  TaskRunnerPtr main_;
  SequenceChecker sequence_{main_.get(), "PanelLifecycleCoordinator"};
  SystemConditions& conditions_;

  bool isPanelVisible_ = false;
  WorkMode workMode_ = WorkMode::idle;
  std::optional<Date> lastHiddenDate_;
  bool isLowPowerModeEnabled_ = false;
  ThermalState thermalState_ = ThermalState::nominal;

  TaskHandle delayedUnloadTask_;
  TaskHandle idleTransitionTask_;
  TaskHandle deepIdleTransitionTask_;

  // Handlers are shared so that a dispatch's snapshot survives unregistration.
  std::map<UUID, std::shared_ptr<const VisibilityHandler>> visibilityHandlers_;
  std::map<UUID, std::shared_ptr<const WorkModeCallback>> workModeHandlers_;
  std::map<UUID, std::shared_ptr<const MemoryPressureCallback>> memoryPressureHandlers_;

  WeakGuard guard_;  // last: posted tasks die before the members they touch
};

}  // namespace pallix
