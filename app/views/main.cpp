// pallix-desktop: the resident agent with its panel, tray icon and global
// hot keys. One per user (starting a second one ends the first); `pallix
// daemon` is the headless form.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

#include "app/platform/linux/XcbGlobalHotKeys.h"
#include "app/shell/DesktopAgent.h"
#include "app/views/MainLoopPump.h"
#include "app/views/PanelView.h"
#include "app/views/SettingsWindow.h"
#include "app/views/X11ClickWatcher.h"
#include "app/views/X11WorkspaceWatcher.h"
#include "core/FileUtil.h"
#include "core/Logger.h"

namespace {

int g_stopPipe[2] = {-1, -1};

void onStopSignal(int) {
  char byte = 1;
  ssize_t written = ::write(g_stopPipe[1], &byte, 1);
  (void)written;
}

constexpr const char* kUsage =
    "Usage: pallix-desktop [--settings] [--no-hot-keys] [--quiet]\n\n"
    "Runs the Pallix agent with its panel: press Alt+Space to search (Shift+Super+V clipboard,\n"
    "Shift+Super+E emoji, Shift+Super+M messages, Shift+Alt+Space files), or bind 'pallix toggle'\n"
    "to a shortcut of your desktop where global hot keys cannot be grabbed (Wayland).\n"
    "--settings opens the settings window at start; --no-hot-keys grabs no keys.\n";

}  // namespace

int main(int argc, char** argv) {
  pallix::usePrivateUmask();
  bool openSettings = false, hotKeysWanted = true, quiet = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--settings") {
      openSettings = true;
    } else if (arg == "--no-hot-keys") {
      hotKeysWanted = false;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << "pallix-desktop: unknown option '" << arg << "'\n" << kUsage;
      return 2;
    }
  }
  using namespace pallix;
  const char* logLevel = std::getenv("PALLIX_LOG");
  if (quiet) {
    Logger::setThreshold(LogLevel::error);
  } else if (!logLevel || !*logLevel) {
    Logger::setThreshold(LogLevel::info);
  }

  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
    std::cerr << "pallix-desktop: no graphical session (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                 "  Start it from your desktop session, or run 'pallix daemon' for the agent without a panel.\n";
    return 3;
  }
  QApplication app(argc, argv);
  app.setApplicationName("Pallix");
  app.setQuitOnLastWindowClosed(false);

  if (::pipe2(g_stopPipe, O_CLOEXEC) == 0) {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    auto* notifier = new QSocketNotifier(g_stopPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });
  }

  auto loop = RunLoop::create();
  views::MainLoopPump pump(loop);
  views::PanelView* panel = nullptr;
  views::SettingsWindow* settingsWindow = nullptr;
  DesktopAgent::Options options;
  options.wake = [&pump] {
    QMetaObject::invokeMethod(
        &pump, [&pump] { pump.pumpNow(); }, Qt::QueuedConnection);
  };
  options.requestTermination = [] {
    std::cerr << "pallix-desktop: another instance started; this one ends.\n";
    QMetaObject::invokeMethod(
        qApp, [] { QApplication::quit(); }, Qt::QueuedConnection);
  };
  if (const char* snapshots = std::getenv("PALLIX_PANEL_SNAPSHOTS"); snapshots && std::strcmp(snapshots, "1") == 0) {
    options.snapshotWriter = [&panel](const std::string& path) -> Status {
      if (!panel) return Error::make("the panel does not exist yet");
      return panel->writeSnapshot(path);
    };
    options.settingsSnapshotWriter = [&settingsWindow](const std::string& path) -> Status {
      if (!settingsWindow) return Error::make("the settings window does not exist yet");
      return settingsWindow->writeStatusSnapshot(path);
    };
  }
  DesktopAgent agent(loop, options);
  Status started = agent.start();
  if (!started.ok()) {
    std::cerr << "pallix-desktop: " << started.error().description()
              << "\n  Check that the data directory is writable ('pallix paths' shows it).\n";
    return 3;
  }

  std::unique_ptr<XcbGlobalHotKeys> hotKeys;
  if (hotKeysWanted && QGuiApplication::platformName() == "xcb") {
    auto connected = XcbGlobalHotKeys::connect();
    if (connected.ok()) {
      hotKeys = std::move(connected).value();
    } else {
      std::cerr << "pallix-desktop: no global hot keys: " << connected.error().description()
                << "\n  Bind 'pallix toggle' to a shortcut of your desktop instead.\n";
    }
  } else if (hotKeysWanted) {
    std::cerr << "pallix-desktop: global hot keys need X11 (this session is "
              << QGuiApplication::platformName().toStdString()
              << "); bind 'pallix toggle' to a shortcut of your desktop.\n";
  }

  views::PanelView view(agent, pump);
  panel = &view;
  agent.attachPanel(view, hotKeys.get());
  view.bindWindowManager(*agent.windowManager());
  // Emoji picked in the panel are typed on their own runner once the keyboard is back.
  agent.runtime().preloadEmoji();
  std::shared_ptr<views::X11FocusReturn> focusReturn;
  auto emojiTyping = SerialExecutor::create("pallix-emoji-typing");
  if (QGuiApplication::platformName() == "xcb") focusReturn = views::X11FocusReturn::connect();
  if (focusReturn) {
    view.setFocusReturn(focusReturn);
    if (agent.runtime().emoji) agent.runtime().emoji->setFocusReturn(focusReturn, emojiTyping);
  }
  auto workspaces =
      views::X11WorkspaceWatcher::install([&agent] { agent.windowManager()->handleActiveWorkspaceChanged(); });
  // A press of a real button (not a wheel) outside the panel hides it, with
  // or without a window manager to take the focus away.
  std::unique_ptr<views::X11ClickWatcher> clicks;
  if (QGuiApplication::platformName() == "xcb") {
    clicks = views::X11ClickWatcher::connect([&agent](int button) {
      if (button > 3) return;
      const QPoint at = QCursor::pos();
      agent.windowManager()->handleMouseDown({double(at.x()), double(at.y())});
    });
  }

  views::SettingsWindow settings(agent);
  settingsWindow = &settings;
  std::unique_ptr<QSystemTrayIcon> tray;
  QMenu trayMenu;
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray = std::make_unique<QSystemTrayIcon>(QIcon::fromTheme("system-search"), &app);
    trayMenu.addAction("Show Pallix", [&agent] { agent.toggle(PresentationIntent::standard); });
    trayMenu.addAction("Settings\u2026", [&settings] { settings.present(); });
    trayMenu.addSeparator();
    trayMenu.addAction("Quit Pallix", [] { QApplication::quit(); });
    tray->setContextMenu(&trayMenu);
    tray->setToolTip("Pallix");
    tray->show();
  }
  if (const std::string refused = agent.windowManager()->refusalSummary(); !refused.empty()) {
    std::cerr << "pallix-desktop: " << refused << "\n";
    if (tray) tray->showMessage("Pallix", QString::fromStdString(refused), QSystemTrayIcon::Warning);
  }
  if (openSettings) settings.present();

  std::cerr << "pallix-desktop: running (pid " << ::getpid() << ").\n";
  int code = app.exec();
  agent.windowManager()->hideWindow(true, false);
  agent.stop();
  pump.pumpNow();
  return code;
}
