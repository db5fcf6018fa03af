// DesktopAgent: the resident agent with a panel (`pallix-desktop`). It runs
// the Agent (the delegate's catalog, watcher, preferences, work modes, single
// instance and socket, as `pallix daemon` does), the search session of
// AppRuntime over the same
// main loop, and the WindowManager that shows the panel and grabs the hot
// keys; it wires the window to the session, the preferences to the window
// and the socket's "toggle" and "panel" requests to both.
//
// It holds no toolkit code: the panel's surface, the hot keys and the
// snapshot writer are given by the executable.
//
// Threading: built, used and destroyed on the main loop's thread.
#pragma once

#include <functional>
#include <memory>

#include "app/platform/GlobalHotKeys.h"
#include "app/platform/PanelSurface.h"
#include "app/platform/linux/InotifyFileChangeMonitor.h"
#include "app/shell/Agent.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/AppRuntime.h"
#include "app/shell/DefaultsFileWatcher.h"
#include "app/shell/KeyboardShortcut.h"
#include "app/shell/PanelRequests.h"
#include "app/shell/WindowManager.h"
#include "core/RunLoop.h"

namespace pallix {

class DesktopAgent {
 public:
  struct Options {
    // Ends the process's main loop (a newer instance asked this one to end).
    std::function<void()> requestTermination;
    // Writes the panel as a PNG for "snapshot <path>"; null refuses the request.
    std::function<Status(const std::string& path)> snapshotWriter;
    // Writes the settings window's Status page as a PNG for "settings
    // snapshot <path>"; null refuses the request.
    std::function<Status(const std::string& path)> settingsSnapshotWriter;
    // Wakes the toolkit's loop so that it runs the main loop's tasks now;
    // called from any thread after a hot key or a request posted work.
    std::function<void()> wake;
  };

  DesktopAgent(std::shared_ptr<RunLoop> loop, Options options);
  ~DesktopAgent();
  DesktopAgent(const DesktopAgent&) = delete;
  DesktopAgent& operator=(const DesktopAgent&) = delete;

  // Launches the delegate and opens the session. Fails without a usable
  // catalog store or when another instance cannot be ended.
  Status start();
  // Creates the window manager over the panel and, with `hotKeys`, registers
  // the hot keys. Call once after start(), before the loop runs.
  void attachPanel(PanelSurface& surface, GlobalHotKeys* hotKeys);
  void stop();

  AppDelegate& delegate() { return *delegate_; }
  AppRuntime& runtime() { return *runtime_; }
  ContentViewModel& model() { return *runtime_->model; }
  PanelIntelligenceStore& intelligence() { return *runtime_->intelligence; }
  WindowManager* windowManager() { return windowManager_.get(); }
  KeyboardShortcutStore& shortcuts() { return *shortcuts_; }
  // The icon file for a catalog item, through the catalog's icon cache.
  void icon(const IndexedItem& item, int size, std::function<void(std::optional<std::string>)> completion);

  // What the toggle request does: shows in `intent`, or hides when the panel
  // already shows it.
  void toggle(PresentationIntent intent);
  PanelState panelState() const;

 private:
  void writeSnapshotWhenSettled(const std::string& path, const SingleInstance::Reply& reply, MonoTime deadline);
  bool handleRequest(const std::string& request, const SingleInstance::Reply& reply);
  void applyShortcutSwitches();
  // Adopts shortcuts another process stored (a failed one keeps the current).
  void applyStoredShortcuts();

  std::shared_ptr<RunLoop> loop_;
  Options options_;
  // The main loop, waking the toolkit's loop on every immediate post.
  TaskRunnerPtr wakingRunner_;
  // The agent's services; the delegate is the agent's.
  std::unique_ptr<Agent> agent_;
  AppDelegate* delegate_ = nullptr;
  // The session's own defaults object (data-source switches, shortcuts)
  // follows the file too.
  InotifyFileChangeMonitor sessionDefaultsMonitor_;
  std::unique_ptr<DefaultsFileWatcher> sessionDefaultsWatcher_;
  std::unique_ptr<AppRuntime> runtime_;
  std::unique_ptr<KeyboardShortcutStore> shortcuts_;
  PanelSurface* surface_ = nullptr;
  std::shared_ptr<WindowManager> windowManager_;
  std::vector<ScopedObservation> observations_;
  bool stopped_ = false;
  WeakGuard weak_;
};

}  // namespace pallix
