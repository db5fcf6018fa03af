#include "app/shell/PanelLifecycleCoordinator.h"

#include <mutex>
#include <vector>

#include "core/Logger.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("PanelLifecycleCoordinator");
  return log;
}

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}

// Deliberately never destroyed: it lives until the process ends, and its
// SystemConditions may be gone by the time static destructors run.
PanelLifecycleCoordinator*& sharedInstance() {
  static PanelLifecycleCoordinator* instance = nullptr;
  return instance;
}

template <typename Map>
std::vector<typename Map::mapped_type> snapshot(const Map& table) {
  std::vector<typename Map::mapped_type> out;
  out.reserve(table.size());
  for (const auto& [id, handler] : table) out.push_back(handler);
  return out;
}

}  // namespace

PanelLifecycleCoordinator::PanelLifecycleCoordinator(TaskRunnerPtr mainRunner, SystemConditions& conditions)
    : main_(std::move(mainRunner)), conditions_(conditions) {
  isLowPowerModeEnabled_ = conditions_.isLowPowerModeEnabled();
  thermalState_ = conditions_.thermalState();
  SystemConditions::Observers observers;
  observers.powerStateChanged = guard_.wrap([this] { handlePowerStateChange(); });
  observers.thermalStateChanged = guard_.wrap([this] { handleThermalStateChange(); });
  observers.memoryPressure = guard_.wrap([this](uint32_t event) { handleMemoryPressure(event); });
  conditions_.startObserving(std::move(observers));
  updateWorkMode("init");
}

PanelLifecycleCoordinator::~PanelLifecycleCoordinator() {
  conditions_.stopObserving();
  delayedUnloadTask_.cancel();
  cancelIdleTransitions();
}

Status PanelLifecycleCoordinator::configureShared(TaskRunnerPtr mainRunner, SystemConditions& conditions) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (sharedInstance()) return Error("PanelLifecycleError", 1, "The shared panel lifecycle coordinator already exists");
  sharedInstance() = new PanelLifecycleCoordinator(std::move(mainRunner), conditions);
  return okStatus();
}

PanelLifecycleCoordinator& PanelLifecycleCoordinator::shared() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (!sharedInstance()) {
    // A programming error: start-up configures the instance before any use.
    logger().error("shared() used before configureShared()");
    std::abort();
  }
  return *sharedInstance();
}

bool PanelLifecycleCoordinator::isSharedConfigured() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  return sharedInstance() != nullptr;
}

WorkMode PanelLifecycleCoordinator::resolveWorkMode() const {
  if (isPanelVisible_) return WorkMode::active;
  if (isLowPowerModeEnabled_) return WorkMode::deepIdle;
  if (thermalState_ == ThermalState::serious || thermalState_ == ThermalState::critical) return WorkMode::deepIdle;
  if (lastHiddenDate_) {
    double elapsed = toSeconds(main_->clock().wallNow() - *lastHiddenDate_);
    double deepIdleSeconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(kDeepIdleDelay).count());
    return elapsed >= deepIdleSeconds ? WorkMode::deepIdle : WorkMode::idle;
  }
  return WorkMode::idle;
}

void PanelLifecycleCoordinator::updateWorkMode(const std::string& reason) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  WorkMode mode = resolveWorkMode();
  if (mode == workMode_) return;
  WorkMode previous = workMode_;
  workMode_ = mode;
  logger().info("Work mode %s -> %s (%s)", workModeName(previous), workModeName(mode), reason.c_str());
  sendSignal("PanelLifecycle.workModeChanged",
             {{"from", workModeName(previous)}, {"to", workModeName(mode)}, {"reason", reason}});
  main_->post(guard_.wrap([this, mode] {
    for (const auto& handler : snapshot(workModeHandlers_)) (*handler)(mode);
  }));
}

void PanelLifecycleCoordinator::panelWillShow() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (isPanelVisible_) return;
  cancelIdleTransitions();
  isPanelVisible_ = true;
  lastHiddenDate_.reset();
  updateWorkMode("panelWillShow");
  main_->post(guard_.wrap([this] {
    for (const auto& handler : snapshot(visibilityHandlers_)) {
      if (handler->onShow) handler->onShow();
    }
  }));
}

void PanelLifecycleCoordinator::panelDidHide() {
  PALLIX_CHECK_SEQUENCE(sequence_);
  if (!isPanelVisible_) return;
  isPanelVisible_ = false;
  lastHiddenDate_ = main_->clock().wallNow();
  updateWorkMode("panelDidHide");
  main_->post(guard_.wrap([this] {
    for (const auto& handler : snapshot(visibilityHandlers_)) {
      if (handler->onHide) handler->onHide();
    }
  }));
  scheduleIdleTransitions();
  startDelayedHideTask();
}

void PanelLifecycleCoordinator::enterInitialHiddenState() {
  if (isPanelVisible_) return;
  lastHiddenDate_ = main_->clock().wallNow();
  updateWorkMode("initialHiddenState");
  scheduleIdleTransitions();
  startDelayedHideTask();
}

void PanelLifecycleCoordinator::cancelIdleTransitions() {
  idleTransitionTask_.cancel();
  deepIdleTransitionTask_.cancel();
  idleTransitionTask_ = TaskHandle();
  deepIdleTransitionTask_ = TaskHandle();
}

void PanelLifecycleCoordinator::scheduleIdleTransitions() {
  cancelIdleTransitions();
  TaskHandle idle = TaskHandle::make();
  main_->postDelayedWithHandle(kIdleDelay, idle, guard_.wrap([this, idle] {
    if (idle.isCancelled() || isPanelVisible_) return;
    idleTransitionTask_ = TaskHandle();
    updateWorkMode("idleDelay");
  }));
  idleTransitionTask_ = idle;
  TaskHandle deep = TaskHandle::make();
  main_->postDelayedWithHandle(kDeepIdleDelay, deep, guard_.wrap([this, deep] {
    if (deep.isCancelled() || isPanelVisible_) return;
    deepIdleTransitionTask_ = TaskHandle();
    updateWorkMode("deepIdleDelay");
  }));
  deepIdleTransitionTask_ = deep;
}

void PanelLifecycleCoordinator::startDelayedHideTask() {
  delayedUnloadTask_.cancel();
  TaskHandle task = TaskHandle::make();
  main_->postDelayedWithHandle(kUnloadDelay, task, guard_.wrap([this, task] {
    if (task.isCancelled()) return;
    delayedUnloadTask_ = TaskHandle();
    if (isPanelVisible_) return;
    for (const auto& handler : snapshot(visibilityHandlers_)) {
      if (handler->onDelayedHide) handler->onDelayedHide();
    }
  }));
  delayedUnloadTask_ = task;
}

void PanelLifecycleCoordinator::handlePowerStateChange() {
  bool lowPower = conditions_.isLowPowerModeEnabled();
  if (lowPower == isLowPowerModeEnabled_) return;
  isLowPowerModeEnabled_ = lowPower;
  updateWorkMode("lowPowerMode");
}

void PanelLifecycleCoordinator::handleThermalStateChange() {
  ThermalState state = conditions_.thermalState();
  if (state == thermalState_) return;
  thermalState_ = state;
  updateWorkMode("thermalState");
}

void PanelLifecycleCoordinator::handleMemoryPressure(uint32_t event) {
  main_->post(guard_.wrap([this, event] {
    for (const auto& handler : snapshot(memoryPressureHandlers_)) (*handler)(event);
    for (const auto& handler : snapshot(visibilityHandlers_)) {
      if (handler->onMemoryPressure) handler->onMemoryPressure();
    }
  }));
}

UUID PanelLifecycleCoordinator::registerVisibilityHandler(Callback onShow, Callback onHide, Callback onDelayedHide,
                                                          Callback onMemoryPressure) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  UUID id = UUID::random();
  visibilityHandlers_[id] = std::make_shared<const VisibilityHandler>(
      VisibilityHandler{std::move(onShow), std::move(onHide), std::move(onDelayedHide), std::move(onMemoryPressure)});
  sendObserverCount();
  return id;
}

UUID PanelLifecycleCoordinator::registerWorkModeHandler(WorkModeCallback onChange) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  UUID id = UUID::random();
  workModeHandlers_[id] = std::make_shared<const WorkModeCallback>(std::move(onChange));
  sendObserverCount();
  return id;
}

UUID PanelLifecycleCoordinator::registerMemoryPressureHandler(MemoryPressureCallback onPressure) {
  UUID id = UUID::random();
  memoryPressureHandlers_[id] = std::make_shared<const MemoryPressureCallback>(std::move(onPressure));
  sendObserverCount();
  return id;
}

void PanelLifecycleCoordinator::unregister(const UUID& id) {
  PALLIX_CHECK_SEQUENCE(sequence_);
  visibilityHandlers_.erase(id);
  workModeHandlers_.erase(id);
  memoryPressureHandlers_.erase(id);
  sendObserverCount();
}

void PanelLifecycleCoordinator::sendObserverCount() {
  sendSignal("PanelLifecycle.observerCountChanged",
             {{"visibility", std::to_string(visibilityHandlers_.size())},
              {"workMode", std::to_string(workModeHandlers_.size())},
              {"memoryPressure", std::to_string(memoryPressureHandlers_.size())}});
}

void PanelLifecycleCoordinator::sendSignal(std::string name, std::map<std::string, std::string> parameters) {
  main_->post(
      [name = std::move(name), parameters = std::move(parameters)] { TelemetryService::signal(name, parameters); });
}

}  // namespace pallix
