// Throughput of the Linux platform adapters on synthetic data:
//   desktop entries parsed from memory and from an applications folder,
//   Exec lines expanded, icon lookups (cold resolver and cached), and
//   file-system events delivered by the inotify watcher.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/platform/DesktopEntry.h"
#include "app/platform/DesktopExec.h"
#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "app/platform/linux/ThemeIconResolver.h"

namespace pallix {
namespace {

namespace fs = std::filesystem;

const char* kEntry =
    "[Desktop Entry]\nVersion=1.5\nType=Application\nName=Calculator\nName[de]=Taschenrechner\n"
    "Name[fr]=Calculatrice\nName[ja]=\xE9\x9B\xBB\xE5\x8D\x93\nGenericName=Scientific Calculator\n"
    "Comment=Perform arithmetic,\\sscientific or financial calculations\nComment[fr]=Effectuer des calculs\n"
    "Keywords=calculation;arithmetic;scientific;financial;\nExec=example-calculator --new-window %U\n"
    "TryExec=example-calculator\nIcon=org.example.Calculator\nCategories=GNOME;GTK;Utility;Calculator;\n"
    "Terminal=false\nStartupNotify=true\nX-AppVersion=46.1\nActions=new-window;\n\n"
    "[Desktop Action new-window]\nName=New Window\nExec=example-calculator --new-window\n";

class TempTree {
 public:
  TempTree() {
    std::string pattern = (fs::temp_directory_path() / "pallix-bench-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempTree() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  void write(const std::string& relative, const std::string& text) const {
    fs::path full = fs::path(path_) / relative;
    fs::create_directories(full.parent_path());
    std::ofstream(full) << text;
  }

 private:
  std::string path_;
};

void BM_ParseDesktopEntryText(benchmark::State& state) {
  std::string text = kEntry;
  for (auto _ : state) {
    auto entry = parseDesktopEntryText(text, "/usr/share/applications/calc.desktop", "calc.desktop");
    benchmark::DoNotOptimize(entry);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDesktopEntryText);

void BM_ParseApplicationsFolder(benchmark::State& state) {
  TempTree tree;
  const int count = static_cast<int>(state.range(0));
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    std::string name = "org.example.App" + std::to_string(i) + ".desktop";
    tree.write("applications/" + name, kEntry);
    paths.push_back(tree.path() + "/applications/" + name);
  }
  for (auto _ : state) {
    for (const auto& p : paths) {
      auto entry = parseDesktopEntry(p, "x.desktop");
      benchmark::DoNotOptimize(entry);
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ParseApplicationsFolder)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_ExpandDesktopExec(benchmark::State& state) {
  DesktopExecContext context;
  context.targets = {"/home/u/Documents/Report 2024.pdf", "file:///home/u/a%20b.txt"};
  context.icon = "org.example.Viewer";
  context.name = "Viewer";
  std::string exec = "env GDK_BACKEND=x11 \"/opt/Some App/bin/viewer\" --name=%c %i %U --end";
  for (auto _ : state) {
    auto argv = expandDesktopExec(exec, context);
    benchmark::DoNotOptimize(argv);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExpandDesktopExec);

// A theme of 40 directories with 300 icons each, inheriting hicolor.
struct SyntheticTheme {
  TempTree tree;
  std::vector<std::string> names;
  SyntheticTheme() {
    std::string index = "[Icon Theme]\nInherits=hicolor\nDirectories=";
    std::vector<std::string> dirs;
    for (int size : {16, 22, 24, 32, 48, 64, 96, 128}) {
      for (const char* context : {"apps", "mimetypes", "places", "actions", "status"}) {
        dirs.push_back(std::to_string(size) + "x" + std::to_string(size) + "/" + context);
      }
    }
    for (size_t i = 0; i < dirs.size(); ++i) index += (i ? "," : "") + dirs[i];
    index += "\n";
    for (const auto& d : dirs) {
      index += "[" + d + "]\nSize=" + d.substr(0, d.find('x')) + "\nType=Fixed\n";
      for (int i = 0; i < 300; ++i) tree.write("icons/Bench/" + d + "/icon" + std::to_string(i) + ".png", "");
    }
    tree.write("icons/Bench/index.theme", index);
    tree.write("icons/hicolor/index.theme", "[Icon Theme]\nDirectories=\n");
    for (int i = 0; i < 100; ++i) names.push_back("icon" + std::to_string(i * 3));
  }
  ThemeIconResolver resolver() const {
    ThemeIconResolver::Options options;
    options.themeName = "Bench";
    options.baseDirectories = {tree.path() + "/icons"};
    return ThemeIconResolver(options);
  }
};

void BM_IconResolveCold(benchmark::State& state) {
  SyntheticTheme theme;
  for (auto _ : state) {
    auto resolver = theme.resolver();
    for (const auto& name : theme.names) benchmark::DoNotOptimize(resolver.resolve(name, 64));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(theme.names.size()));
}
BENCHMARK(BM_IconResolveCold)->Unit(benchmark::kMillisecond);

void BM_IconResolveCached(benchmark::State& state) {
  SyntheticTheme theme;
  auto resolver = theme.resolver();
  for (const auto& name : theme.names) resolver.resolve(name, 64);
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(resolver.resolve(theme.names[i++ % theme.names.size()], 64));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IconResolveCached);

// Time from creating N files in a watched folder until the watcher has
// delivered a creation event for each of them.
void BM_WatcherDelivery(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  double lagMs = 0, writeMs = 0;
  for (auto _ : state) {
    TempTree tree;
    std::mutex mutex;
    std::condition_variable cv;
    size_t created = 0;
    InotifyDirectoryWatcher watcher;
    auto status = watcher.start({tree.path()}, milliseconds(5), [&](std::vector<DirectoryEvent> batch) {
      std::lock_guard<std::mutex> lock(mutex);
      for (const auto& e : batch) {
        if (e.flags & kDirectoryEventCreated) ++created;
      }
      cv.notify_all();
    });
    if (!status.ok()) {
      state.SkipWithError(status.error().description().c_str());
      return;
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      std::ofstream(tree.path() + "/f" + std::to_string(i)) << "x";
    }
    auto written = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(60), [&] { return created >= static_cast<size_t>(count); });
    auto delivered = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(delivered - start).count());
    lagMs += std::chrono::duration<double, std::milli>(delivered - written).count();
    writeMs += std::chrono::duration<double, std::milli>(written - start).count();
    lock.unlock();
    watcher.stop();
  }
  state.SetItemsProcessed(state.iterations() * count);
  // Writing the files dominates on slow file systems; the lag after the last
  // write is the watcher's own delay (including the 5 ms batching latency).
  state.counters["write_ms"] = writeMs / static_cast<double>(state.iterations());
  state.counters["lag_after_last_write_ms"] = lagMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WatcherDelivery)->Arg(5000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace
}  // namespace pallix

BENCHMARK_MAIN();
