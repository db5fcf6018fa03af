// End-to-end timings of pallix-desktop on a private Xvfb display:
//   hot key (XTest Alt+Space) to the first painted frame of the panel,
//   keystroke to repainted results, and the agent's idle CPU and memory.
// A frame counts as painted when the screen's pixels under the panel change
// (read back with xcb_get_image), so the numbers include the X round trips.
//
// Usage: desktop_latency_bench [runs=40] [idleSeconds=60] [apps=2000] [files=100000]
// The apps (desktop entries) and files are made in a private home and
// indexed by the agent before the timings start.
#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/desktop/XTestKeys.h"
#include "bench/support/BenchStats.h"
#include "testing/TestProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using pallix::testing::BackgroundProcess;
using pallix::testing::pollUntil;

struct X {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;

  xcb_keycode_t keycode(xcb_keysym_t sym) { return pallix::bench::keycodeFor(c, sym); }
  void key(xcb_keycode_t code, bool press) {
    xcb_test_fake_input(c, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, root, 0, 0, 0);
  }
  void chord(std::initializer_list<xcb_keycode_t> codes) { pallix::bench::pressChord(c, root, codes); }
  std::string strip(int x, int y, int width) {
    auto* r = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, int16_t(x), int16_t(y), uint16_t(width), 1, ~0u), nullptr);
    if (!r) return {};
    std::string out(reinterpret_cast<const char*>(xcb_get_image_data(r)), size_t(xcb_get_image_data_length(r)));
    std::free(r);
    return out;
  }
};

std::string rss(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return line.substr(6);
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 40;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
  const int appCount = argc > 3 ? std::atoi(argv[3]) : 2000;
  const int fileCount = argc > 4 ? std::atoi(argv[4]) : 100000;
  pallix::testing::XvfbDisplay display;
  if (!display.ok()) {
    std::fprintf(stderr, "desktop_latency_bench: Xvfb cannot start: %s\n", display.failure().c_str());
    return 3;
  }
  char pattern[] = "/tmp/pallix-bench-XXXXXX";
  std::string home = ::mkdtemp(pattern);
  static const char* words[] = {"Studio", "Viewer", "Notes",    "Music", "Mail",  "Video",  "Terminal", "Paint",
                                "Chess",  "Vault",  "Calendar", "Maps",  "Voice", "Office", "Reader",   "Camera"};
  std::filesystem::create_directories(home + "/.local/share/applications");
  for (int i = 0; i < appCount; ++i) {
    std::ofstream(home + "/.local/share/applications/bench" + std::to_string(i) + ".desktop")
        << "[Desktop Entry]\nType=Application\nName=" << words[i % 16] << " " << words[(i / 16) % 16] << " " << i
        << "\nExec=true\n";
  }
  for (int i = 0; i < fileCount; ++i) {
    std::string dir = home + "/Documents/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) std::filesystem::create_directories(dir);
    std::ofstream(dir + "/" + words[i % 16] + "-" + std::to_string(i) + ".txt");
  }
  std::filesystem::create_directories(home + "/.local/share/Pallix");
  std::ofstream(home + "/.local/share/Pallix/UserDefaults.json")
      << "{\"FilesPreferences.indexedFolders\": [\"" << home << "/Documents\"]}";
  std::map<std::string, std::string> env = {{"DISPLAY", display.name()}, {"HOME", home},
                                            {"PALLIX_HOME", home},       {"XDG_RUNTIME_DIR", home},
                                            {"PALLIX_LOG", "info"},      {"PALLIX_THEME", "dark"}};
  BackgroundProcess agent({PALLIX_DESKTOP_BINARY}, env);
  // The agent reports its first full scan on its output, which a thread
  // keeps draining so the agent never blocks on a full pipe.
  auto scanStart = Clock::now();
  std::atomic<bool> scanned{false}, stopReading{false};
  // $PALLIX_BENCH_AGENT_LOG, when set, keeps what the agent said.
  const char* logPath = std::getenv("PALLIX_BENCH_AGENT_LOG");
  std::ofstream agentLog(logPath ? logPath : "/dev/null");
  std::thread reader([&] {
    while (!stopReading) {
      std::string line = agent.readLine(std::chrono::milliseconds(200));
      if (!line.empty()) agentLog << line << "\n" << std::flush;
      if (line.find("Finished scan") != std::string::npos) scanned = true;
    }
  });
  pollUntil([&] { return scanned.load(); }, std::chrono::minutes(10));
  std::printf("first scan of %d apps and %d files: %s in %.1f s\n", appCount, fileCount, scanned ? "done" : "timed out",
              std::chrono::duration<double>(Clock::now() - scanStart).count());
  X x;
  x.c = xcb_connect(display.name().c_str(), nullptr);
  x.root = xcb_setup_roots_iterator(xcb_get_setup(x.c)).data->root;
  const xcb_keycode_t alt = x.keycode(0xffe9), space = x.keycode(' '), letter = x.keycode('v'),
                      backspace = x.keycode(0xff08);
  // The panel is 680x460 at the bottom right of the 640x480 screen: x 0, y 20.
  const int sampleY = 20 + 8, resultsY = 20 + 120;
  std::string hidden = x.strip(400, sampleY, 200);
  // Wait for the agent's hot keys: press until the panel appears once.
  bool ready = pollUntil(
      [&] {
        x.chord({alt, space});
        return pollUntil([&] { return x.strip(400, sampleY, 200) != hidden; }, std::chrono::seconds(2));
      },
      std::chrono::seconds(30));
  if (!ready) {
    std::fprintf(stderr, "desktop_latency_bench: the panel never appeared\n");
    return 1;
  }
  x.chord({alt, space});
  pollUntil([&] { return x.strip(400, sampleY, 200) == hidden; });

  std::vector<double> show, keystroke;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    x.chord({alt, space});
    if (!pollUntil([&] { return x.strip(400, sampleY, 200) != hidden; }, std::chrono::seconds(5))) continue;
    show.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    // Let the first frame settle before measuring a keystroke.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string before = x.strip(0, resultsY, 600);
    t0 = Clock::now();
    x.chord({letter});
    if (pollUntil([&] { return x.strip(0, resultsY, 600) != before; }, std::chrono::seconds(2))) {
      keystroke.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    x.chord({backspace});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    x.chord({alt, space});
    pollUntil([&] { return x.strip(400, sampleY, 200) == hidden; });
  }
  std::printf("hot key to first painted frame: n=%zu median %.1f ms, p95 %.1f ms\n", show.size(),
              pallix::bench::percentile(show, 0.5), pallix::bench::percentile(show, 0.95));
  std::printf("keystroke to repainted results: n=%zu median %.1f ms, p95 %.1f ms\n", keystroke.size(),
              pallix::bench::percentile(keystroke, 0.5), pallix::bench::percentile(keystroke, 0.95));
  // Shown and idle: the panel on screen, nothing typed.
  x.chord({alt, space});
  pollUntil([&] { return x.strip(400, sampleY, 200) != hidden; });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double shown0 = pallix::bench::processCpuSeconds(agent.pid());
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double shown1 = pallix::bench::processCpuSeconds(agent.pid());
  std::printf("idle (panel shown) over %d s: %.2f%% of a core (goal < 0.5%%)\n", idleSeconds,
              100.0 * (shown1 - shown0) / idleSeconds);
  x.chord({alt, space});
  pollUntil([&] { return x.strip(400, sampleY, 200) == hidden; });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double cpu0 = pallix::bench::processCpuSeconds(agent.pid());
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  double cpu1 = pallix::bench::processCpuSeconds(agent.pid());
  if (::kill(agent.pid(), 0) != 0 || pallix::bench::processCpuSeconds(agent.pid()) == 0)
    std::printf("the agent is gone\n");
  std::printf("idle (panel hidden) over %d s: %.2f%% of a core (goal < 0.2%%); resident memory%s\n", idleSeconds,
              100.0 * (cpu1 - cpu0) / idleSeconds, rss(agent.pid()).c_str());
  xcb_disconnect(x.c);
  stopReading = true;
  reader.join();
  agent.stop();
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return 0;
}
