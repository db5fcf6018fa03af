// The main loop's longest stall while a 50 MB copy is captured: a private
// Xvfb, xclip copying a 50 MB text in another process, and the clipboard
// history as the agent composes it (ClipboardServices: its own store file,
// the capture runner) over the real X11 pasteboard. A 1 ms heartbeat on the
// main loop stamps each run; the largest gap between two stamps from the
// copy until the item is recorded (and its commit is done) is the stall
// (goal: under 16 ms). `main` captures on the main loop instead, as a
// service without a capture runner does, for comparison.
//
//   build/bin/clipboard_stall_bench [copies, default 3] [main]

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/clipboard/ClipboardServices.h"
#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/X11Pasteboard.h"
#include "app/search/CatalogSchema.h"
#include "bench/support/BenchStats.h"
#include "core/RunLoop.h"
#include "testing/TestProcess.h"

using namespace pallix;
using Steady = std::chrono::steady_clock;

namespace {

double millisBetween(Steady::time_point a, Steady::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Repeats every millisecond on the main loop, stamping each run.
struct Heartbeat {
  std::shared_ptr<RunLoop> loop;
  TaskHandle handle = TaskHandle::make();
  std::vector<Steady::time_point> beats;
  void start() {
    beats.push_back(Steady::now());
    loop->postDelayedWithHandle(std::chrono::milliseconds(1), handle, [this] { start(); });
  }
  void stop() { handle.cancel(); }
};

}  // namespace

int main(int argc, char** argv) {
  const int copies = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const bool onMain = argc > 2 && !std::strcmp(argv[2], "main");
  testing::XvfbDisplay display;
  if (!display.ok() || findInPath("xclip").empty()) {
    std::fprintf(stderr, "needs Xvfb and xclip (scripts/setup.sh installs them): %s\n", display.failure().c_str());
    return 3;
  }
  ::setenv("DISPLAY", display.name().c_str(), 1);
  char pattern[] = "/tmp/pallix-stall-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string home = pattern;
  X11Pasteboard::Options options;
  options.display = display.name();
  auto board = X11Pasteboard::connect(options);
  if (!board.ok()) {
    std::fprintf(stderr, "%s\n", board.error().description().c_str());
    return 3;
  }
  auto loop = RunLoop::create();
  const auto settings = [] { return ClipboardSettings{true, 0}; };
  // Either the agent's composition, or a service whose captures run on the loop.
  std::unique_ptr<ClipboardServices> services;
  std::unique_ptr<PersistentStore> db;
  std::unique_ptr<ClipboardService> direct;
  ClipboardService* service = nullptr;
  if (onMain) {
    db = PersistentStore::open(home + "/Pallix.sqlite", catalogMigrationSteps()).value();
    ClipboardService::Dependencies deps;
    deps.runner = loop;
    deps.pasteboard = board.value();
    deps.store = std::make_shared<ClipboardStore>(*db);
    deps.settings = settings;
    direct = std::make_unique<ClipboardService>(std::move(deps));
    service = direct.get();
  } else {
    ClipboardServices::Options open;
    open.dirs = DataDirectories::forHome(home);
    open.runner = loop;
    open.pasteboard = board.value();
    open.settings = settings;
    auto opened = ClipboardServices::open(std::move(open));
    if (!opened.ok()) {
      std::fprintf(stderr, "%s\n", opened.error().description().c_str());
      return 1;
    }
    services = std::move(opened).value();
    service = &services->service();
  }
  service->setWorkMode(WorkMode::active);

  Steady::time_point captured;
  bool recorded = false;
  service->setCaptureObserver([&](const ClipboardItem&, bool) {
    captured = Steady::now();
    recorded = true;
    // Past the batched commit, so that it falls in the window too.
    loop->postDelayed(ClipboardService::kSaveBatchDelay + std::chrono::milliseconds(250), [&] { loop->quit(); });
  });
  std::vector<double> stalls, latencies;
  for (int i = 0; i < copies; ++i) {
    const std::string file = home + "/copy.txt";
    {
      std::string text(50 << 20, 'a' + static_cast<char>(i % 26));
      for (size_t at = 0; at < text.size(); at += 80) text[at] = '\n';
      std::ofstream(file, std::ios::binary) << "copy " << i << "\n" << text;
    }
    recorded = false;
    Heartbeat heartbeat{loop};
    heartbeat.start();
    const Steady::time_point started = Steady::now();
    // xclip reads the file and serves it from a process of its own. Spawned,
    // not forked: a fork of this process would hold up every thread.
    pid_t xclip = -1;
    {
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
      std::string a0 = "xclip", a1 = "-selection", a2 = "clipboard", a3 = "-t", a4 = "UTF8_STRING", a5 = file;
      char* args[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), nullptr};
      if (posix_spawnp(&xclip, "xclip", &actions, nullptr, args, environ) != 0) return 1;
      posix_spawn_file_actions_destroy(&actions);
    }
    std::thread copier([xclip] {
      int status = 0;
      ::waitpid(xclip, &status, 0);
    });
    TaskHandle timeout = loop->postDelayed(std::chrono::seconds(60), [&] { loop->quit(); });
    loop->run();
    timeout.cancel();
    heartbeat.stop();
    copier.join();
    if (!recorded) {
      std::printf("copy %d was not recorded within 60 s\n", i);
      continue;
    }
    double longest = 0;
    for (size_t b = 1; b < heartbeat.beats.size(); ++b) {
      longest = std::max(longest, millisBetween(heartbeat.beats[b - 1], heartbeat.beats[b]));
    }
    stalls.push_back(longest);
    latencies.push_back(millisBetween(started, captured));
    std::printf("copy %d (50 MB): recorded after %.0f ms; main loop's longest stall %.1f ms over %zu beats\n", i,
                latencies.back(), longest, heartbeat.beats.size());
  }
  if (stalls.empty()) return 1;
  std::printf(
      "%s: main loop's longest stall during a 50 MB capture over %zu copies: median %.1f ms, max %.1f ms "
      "(goal < 16 ms); copy-to-record median %.0f ms\n",
      onMain ? "captures on the main loop" : "captures on the capture runner", stalls.size(),
      bench::percentile(stalls, 0.5), bench::percentile(stalls, 1), bench::percentile(latencies, 0.5));
  services.reset();
  direct.reset();
  db.reset();
  std::filesystem::remove_all(home);
  return 0;
}
