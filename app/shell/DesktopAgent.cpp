#include "app/shell/DesktopAgent.h"

#include "app/platform/linux/LinuxDesktop.h"
#include "app/shell/AgentRequests.h"
#include "core/Logger.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("DesktopAgent");
  return log;
}

// Posts to the main loop and wakes the toolkit's loop, so that a hot key or
// a socket request does not wait for the loop's next periodic run.
class WakingRunner final : public TaskRunner {
 public:
  WakingRunner(std::shared_ptr<RunLoop> loop, std::function<void()> wake)
      : loop_(std::move(loop)), wake_(std::move(wake)) {}
  TaskHandle postDelayed(Duration delay, Task task) override {
    TaskHandle handle = loop_->postDelayed(delay, std::move(task));
    if (delay <= Duration::zero() && wake_) wake_();
    return handle;
  }
  void postDelayedWithHandle(Duration delay, TaskHandle handle, Task task) override {
    loop_->postDelayedWithHandle(delay, std::move(handle), std::move(task));
    if (delay <= Duration::zero() && wake_) wake_();
  }
  bool isCurrent() const override { return loop_->isCurrent(); }
  const Clock& clock() const override { return loop_->clock(); }

 private:
  std::shared_ptr<RunLoop> loop_;
  std::function<void()> wake_;
};

}  // namespace

DesktopAgent::DesktopAgent(std::shared_ptr<RunLoop> loop, Options options)
    : loop_(std::move(loop)),
      options_(std::move(options)),
      wakingRunner_(std::make_shared<WakingRunner>(loop_, options_.wake)) {}

DesktopAgent::~DesktopAgent() {
  stop();
}

Status DesktopAgent::start() {
  agent_ = std::make_unique<Agent>(
      loop_,
      Agent::Options{
          .mainRunner = wakingRunner_,
          .requestTermination = options_.requestTermination,
          // The delegate, which calls this, dies before the agent.
          .extraRequestHandler = [this](const std::string& request,
                                        const SingleInstance::Reply& reply) { return handleRequest(request, reply); },
          .noClipboard =
              [](const Error& why) { logger().error("Pallix: no clipboard history: %s", why.description().c_str()); },
      });
  PALLIX_RETURN_IF_ERROR(agent_->configure());
  PALLIX_RETURN_IF_ERROR(agent_->launch());
  delegate_ = &agent_->delegate();

  auto runtime = AppRuntime::open(AppRuntime::Access::recordUse, loop_);
  if (!runtime.ok()) return runtime.error().withContext("cannot open the catalog for searching");
  runtime_ = std::move(runtime).value();
  // The modes search what the delegate's services hold: one clipboard
  // history, one pair of semantic indexes (which come and go with their
  // preferences, so they are looked up on every search).
  if (Status modes = runtime_->attachModeProviders(delegate_->clipboardServices()); !modes.ok()) {
    logger().error("Pallix: clipboard mode unavailable: %s", modes.error().description().c_str());
  }
  runtime_->attachSemanticSearch([delegate = delegate_] { return delegate->semanticServices(); });
  // The session's defaults object is re-read below when the file changes, so
  // shortcuts written by another process reach the window manager too.
  shortcuts_ = std::make_unique<KeyboardShortcutStore>(*runtime_->defaults);
  sessionDefaultsWatcher_ = std::make_unique<DefaultsFileWatcher>(*runtime_->defaults, sessionDefaultsMonitor_,
                                                                  wakingRunner_, "Pallix.DesktopAgent");
  sessionDefaultsWatcher_->reloadOnChange(*runtime_->dataSources);
  sessionDefaultsWatcher_->addHandler([this](const std::vector<std::string>&) { applyStoredShortcuts(); });
  (void)sessionDefaultsWatcher_->start();  // logged by the watcher
  return {};
}

void DesktopAgent::attachPanel(PanelSurface& surface, GlobalHotKeys* hotKeys) {
  surface_ = &surface;
  windowManager_ =
      std::make_shared<WindowManager>(WindowManager::Dependencies{wakingRunner_, &surface, shortcuts_.get(), hotKeys});
  WindowManager& wm = *windowManager_;
  AppDisplayPreferences& display = delegate_->appDisplayPreferences();
  wm.setPanelPosition(display.panelPosition());
  wm.setWillPresentHandler(weak_.wrap([this](PresentationIntent intent) {
    // Another process may have moved the panel through the defaults file.
    windowManager_->setPanelPosition(delegate_->appDisplayPreferences().panelPosition());
    model().setSearchMode(searchModeFor(intent));
  }));
  wm.setContentPresentationHandler(weak_.wrap([this](bool presented) {
    if (presented) {
      PanelLifecycleCoordinator::shared().panelWillShow();
      // Conversations by meaning, while the agent indexes them.
      SemanticServices* semantic = delegate_->semanticServices();
      runtime_->attachMessageStore(semantic && delegate_->isMessageEmbeddingActive() ? semantic->messageStore()
                                                                                     : nullptr);
      model().handlePresentationChange(true);
      return;
    }
    // The session hides the panel from inside its own activation, which still
    // reads the results: it hears of the content going on the next turn,
    // unless the panel came back meanwhile.
    loop_->post(weak_.wrap([this] {
      if (windowManager_ && !windowManager_->isContentPresented()) model().handlePresentationChange(false);
    }));
  }));
  wm.setDidHideHandler(weak_.wrap([this] {
    model().handleDisappear();
    PanelLifecycleCoordinator::shared().panelDidHide();
  }));
  wm.setPanelPositionChangeHandler(weak_.wrap([this](PanelPosition position) {
    Status saved = delegate_->appDisplayPreferences().setPanelPosition(position);
    if (!saved.ok()) logger().error("Pallix: cannot keep the panel position: %s", saved.error().description().c_str());
  }));
  model().setWindow(windowManager_);

  // The clipboard hot key follows the clipboard history switch, the messages
  // one the message search switch.
  for (const char* name : {ClipboardPreferences::kDidChangeNotification, MessagesPreferences::kDidChangeNotification,
                           FilesPreferences::kDidChangeNotification}) {
    observations_.emplace_back(NotificationCenter::defaultCenter(), name,
                               weak_.wrap([this](const Notification&) { applyShortcutSwitches(); }));
  }
  applyShortcutSwitches();
  wm.activate();
}

void DesktopAgent::applyShortcutSwitches() {
  if (!windowManager_) return;
  windowManager_->setClipboardShortcutEnabled(delegate_->clipboardPreferences().historyEnabled());
  windowManager_->setShortcutEnabled(HotKeyKind::messages, delegate_->messagesPreferences().searchEnabled());
  windowManager_->setShortcutEnabled(HotKeyKind::files, delegate_->filesPreferences().searchEnabled());
}

void DesktopAgent::applyStoredShortcuts() {
  if (!windowManager_) return;
  for (HotKeyKind kind : kAllHotKeyKinds) {
    KeyboardShortcut stored = shortcuts_->load(kind);
    if (stored == windowManager_->shortcut(kind)) continue;
    Status updated = windowManager_->updateShortcut(kind, stored);
    if (!updated.ok()) {
      logger().error("Pallix: the %s shortcut %s stays %s: %s", hotKeyName(kind), stored.displayString().c_str(),
                     windowManager_->shortcut(kind).displayString().c_str(), updated.error().description().c_str());
    }
  }
}

void DesktopAgent::stop() {
  if (stopped_ || !agent_) return;
  stopped_ = true;
  observations_.clear();
  if (sessionDefaultsWatcher_) sessionDefaultsWatcher_->stop();
  if (runtime_) runtime_->model->setWindow(nullptr);
  windowManager_.reset();
  agent_->terminate();
  runtime_.reset();
  delegate_ = nullptr;
  agent_.reset();
}

void DesktopAgent::icon(const IndexedItem& item, int size, std::function<void(std::optional<std::string>)> completion) {
  IndexingService* indexing = delegate_ ? delegate_->indexingService() : nullptr;
  if (!indexing) {
    completion(std::nullopt);
    return;
  }
  indexing->icon(item, size, std::move(completion));
}

void DesktopAgent::toggle(PresentationIntent intent) {
  if (!windowManager_) return;
  WindowManager& wm = *windowManager_;
  if (intent == PresentationIntent::standard) {
    wm.toggleWindow();
    return;
  }
  if (wm.isPresented() && wm.presentationIntent() == wm.resolveIntent(intent)) {
    wm.hideWindow(false, true);
    return;
  }
  wm.showWindow(intent);
}

PanelState DesktopAgent::panelState() const {
  PanelState state;
  if (!windowManager_) return state;
  state.visible = windowManager_->isPresented();
  state.intent = windowManager_->presentationIntent();
  if (surface_) {
    state.frame = surface_->frame();
    state.chipFrames = surface_->filterChipFrames();
  }
  if (runtime_ && runtime_->model) {
    state.text = runtime_->model->searchText();
    state.chips = runtime_->model->fileFilterChips();
  }
  return state;
}

bool DesktopAgent::handleRequest(const std::string& request, const SingleInstance::Reply& reply) {
  PresentationIntent toggleIntent = PresentationIntent::standard;
  if (decodeToggleRequest(request, toggleIntent)) {
    if (!windowManager_) {
      reply(encodeRequestRefusal("the panel is not ready yet"));
      return true;
    }
    toggle(toggleIntent);
    reply(encodePanelState(panelState()));
    return true;
  }
  if (request == kAgentPanelStateRequest) {
    reply(encodePanelState(panelState()));
    return true;
  }
  const std::string settingsSnapshotPrefix = std::string(kAgentSettingsSnapshotRequest) + " ";
  if (request.rfind(settingsSnapshotPrefix, 0) == 0) {
    if (!options_.settingsSnapshotWriter) {
      reply(encodeRequestRefusal("this agent does not write snapshots"));
      return true;
    }
    Status written = options_.settingsSnapshotWriter(request.substr(settingsSnapshotPrefix.size()));
    reply(written.ok() ? encodePanelState(panelState()) : encodeRequestRefusal(written.error().description()));
    return true;
  }
  const std::string snapshotPrefix = std::string(kAgentSnapshotRequest) + " ";
  if (request.rfind(snapshotPrefix, 0) == 0) {
    if (!options_.snapshotWriter) {
      reply(encodeRequestRefusal("this agent does not write snapshots"));
      return true;
    }
    // The picture shows the settled results: wait (a bounded number of
    // turns of the loop) while the session still has searches in flight.
    writeSnapshotWhenSettled(request.substr(snapshotPrefix.size()), reply, SystemClock::instance().now() + seconds(3));
    return true;
  }
  return false;
}

void DesktopAgent::writeSnapshotWhenSettled(const std::string& path, const SingleInstance::Reply& reply,
                                            MonoTime deadline) {
  if (model().hasPendingWork() && SystemClock::instance().now() < deadline) {
    loop_->postDelayed(std::chrono::milliseconds(20),
                       weak_.wrap([this, path, reply, deadline] { writeSnapshotWhenSettled(path, reply, deadline); }));
    return;
  }
  Status written = options_.snapshotWriter(path);
  reply(written.ok() ? encodePanelState(panelState()) : encodeRequestRefusal(written.error().description()));
}

}  // namespace pallix
