#include "app/shell/DefaultsFileWatcher.h"

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {

DefaultsFileWatcher::DefaultsFileWatcher(UserDefaults& defaults, FileChangeMonitor& monitor, TaskRunnerPtr mainRunner,
                                         std::string owner)
    : defaults_(defaults), monitor_(monitor), mainRunner_(std::move(mainRunner)), owner_(std::move(owner)) {}

DefaultsFileWatcher::~DefaultsFileWatcher() {
  stop();
}

void DefaultsFileWatcher::addHandler(Handler handler) {
  handlers_.push_back(std::move(handler));
}

Status DefaultsFileWatcher::start() {
  if (watching_) return okStatus();
  const std::string& path = defaults_.path();
  if (path.empty()) return Error("DefaultsFileWatcherError", 1, "The settings are not kept in a file");
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    Status folder = createPrivateDirectory(path.substr(0, slash));
    if (!folder.ok()) {
      logger_.error("%s: settings changed by other commands apply at the next start: %s", owner_.c_str(),
                    folder.error().description().c_str());
      return folder.error();
    }
  }
  auto reread = weak_.wrap([this] {
    pending_->store(false);
    reload();
  });
  Status started = monitor_.start(path, [main = mainRunner_, pending = pending_, reread] {
    if (!pending->exchange(true)) main->postDelayed(kReloadDelay, reread);
  });
  if (!started.ok()) {
    logger_.error("%s: settings changed by other commands apply at the next start: %s", owner_.c_str(),
                  started.error().description().c_str());
    return started.error();
  }
  watching_ = true;
  return okStatus();
}

void DefaultsFileWatcher::stop() {
  if (!watching_) return;
  watching_ = false;
  monitor_.stop();
  // A re-read already posted finds the guard gone.
  weak_.invalidate();
  pending_->store(false);
}

void DefaultsFileWatcher::reload() {
  if (!watching_) return;
  auto changed = defaults_.reload();
  if (!changed.ok() || changed.value().empty()) return;  // a failure is logged by the store
  logger_.info("%s: settings changed by another process: %s", owner_.c_str(),
               joinStrings(changed.value(), ", ").c_str());
  for (const Handler& handler : handlers_) handler(changed.value());
}

}  // namespace pallix
