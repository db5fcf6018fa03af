// Copy-to-capture latency on X11: a private Xvfb, xclip copying in another
// process, and a ClipboardService at the active cadence over the real X11
// pasteboard; the time from starting xclip to the item in `history`, over
// 50 copies (goal: p95 under 100 ms). Then the CPU time the service uses
// in a minute with nothing copied.
//
//   build/bin/clipboard_capture_bench [idle seconds, default 60]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/clipboard/ClipboardService.h"
#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/X11Pasteboard.h"
#include "app/search/CatalogSchema.h"
#include "bench/support/BenchStats.h"
#include "core/RunLoop.h"
#include "testing/TestProcess.h"

using namespace pallix;

int main(int argc, char** argv) {
  const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
  testing::XvfbDisplay display;
  if (!display.ok() || findInPath("xclip").empty()) {
    std::fprintf(stderr, "needs Xvfb and xclip (scripts/setup.sh installs them): %s\n", display.failure().c_str());
    return 3;
  }
  ::setenv("DISPLAY", display.name().c_str(), 1);
  X11Pasteboard::Options options;
  options.display = display.name();
  auto board = X11Pasteboard::connect(options);
  if (!board.ok()) {
    std::fprintf(stderr, "%s\n", board.error().description().c_str());
    return 3;
  }
  auto db = PersistentStore::open(":memory:", catalogMigrationSteps()).value();
  auto loop = RunLoop::create();
  ClipboardService::Dependencies deps;
  deps.runner = loop;
  deps.pasteboard = board.value();
  deps.store = std::make_shared<ClipboardStore>(*db);
  deps.settings = [] { return ClipboardSettings{true, 0}; };
  ClipboardService service(std::move(deps));
  service.setWorkMode(WorkMode::active);

  std::vector<double> millis;
  std::chrono::steady_clock::time_point started;
  bool captured = false;
  service.setCaptureObserver([&](const ClipboardItem&, bool) {
    millis.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    captured = true;
    loop->quit();
  });
  for (int i = 0; i < 50; ++i) {
    captured = false;
    started = std::chrono::steady_clock::now();
    auto xclip = ChildProcess::start({"xclip", "-selection", "clipboard"});
    if (!xclip.ok() || !xclip.value().finishInput("copy number " + std::to_string(i)).ok()) return 1;
    TaskHandle timeout = loop->postDelayed(std::chrono::seconds(5), [&] { loop->quit(); });
    loop->run();
    timeout.cancel();
    (void)xclip.value().waitForExit(std::chrono::seconds(5));
    if (!captured) std::printf("copy %d was not captured within 5 s\n", i);
  }
  if (millis.empty()) return 1;
  std::printf("copy-to-capture over %zu copies: median %.1f ms, p95 %.1f ms, max %.1f ms\n", millis.size(),
              bench::percentile(millis, 0.5), bench::percentile(millis, 0.95), bench::percentile(millis, 1));

  const double before = bench::processCpuSeconds();
  loop->postDelayed(std::chrono::seconds(idleSeconds), [&] { loop->quit(); });
  loop->run();
  std::printf("CPU time while idle for %d s at the active cadence: %.1f ms\n", idleSeconds,
              (bench::processCpuSeconds() - before) * 1000);
  return 0;
}
