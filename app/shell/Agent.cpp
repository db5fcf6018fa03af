#include "app/shell/Agent.h"

#include "app/platform/linux/LinuxDesktop.h"
#include "app/shell/PanelLifecycleCoordinator.h"

namespace pallix {

Agent::Agent(std::shared_ptr<RunLoop> loop, Options options)
    : loop_(std::move(loop)), options_(std::move(options)), dirs_(DataDirectories::fromEnvironment()) {}

Agent::~Agent() {
  terminate();
}

Status Agent::configure() {
  background_ = SerialExecutor::create("pallix-index");
  directoryChanges_ = SerialExecutor::create("pallix-dirchange");
  conditions_ = std::make_unique<LinuxSystemConditions>(loop_);
  if (!PanelLifecycleCoordinator::isSharedConfigured()) {
    PALLIX_RETURN_IF_ERROR(PanelLifecycleCoordinator::configureShared(loop_, *conditions_));
  }
  return okStatus();
}

Status Agent::launch() {
  icons_ = std::make_unique<ThemeIconResolver>(ThemeIconResolver::optionsFromEnvironment(dirs_));
  instance_ = std::make_unique<LockFileSingleInstance>(LockFileSingleInstance::optionsFor(dirs_));

  AppEnvironment env;
  env.dirs = dirs_;
  env.mainRunner = options_.mainRunner ? options_.mainRunner : loop_;
  env.backgroundRunner = background_;
  env.directoryChangeRunner = directoryChanges_;
  env.clock = &SystemClock::instance();
  env.lifecycle = &PanelLifecycleCoordinator::shared();
  env.watcherFactory = &watcherFactory_;
  env.iconResolver = icons_.get();
  env.singleInstance = instance_.get();
  env.commandRunner = &runner_;
  env.defaultsMonitor = &defaultsMonitor_;
  env.sampleProcessUsage = true;
  env.requestTermination = options_.requestTermination;
  env.extraRequestHandler = options_.extraRequestHandler;
  // The clipboard history is recorded where there is a desktop session.
  if (auto pasteboard = makeDesktopPasteboard(dirs_); pasteboard.ok()) {
    env.pasteboard = pasteboard.value();
    env.linkMetadata = makeLinkMetadataProvider();
  } else if (options_.noClipboard) {
    options_.noClipboard(pasteboard.error());
  }
  delegate_ = std::make_unique<AppDelegate>(env);
  PALLIX_RETURN_IF_ERROR(delegate_->applicationDidFinishLaunching());
  running_ = true;
  return okStatus();
}

void Agent::terminate() {
  if (terminated_) return;
  terminated_ = true;
  if (running_) delegate_->applicationWillTerminate();
  if (background_) background_->shutdown();
  if (directoryChanges_) directoryChanges_->shutdown();
}

}  // namespace pallix
