// Catalog scan benchmark. Prints a report; no pass/fail.
//
//   catalog_scan_bench [--files N] [--folders N] [--work DIR] [--tree DIR]... [--no-generated] [--no-burst]
//
// For each tree (a generated one of N files in N folders, and every --tree,
// /usr/share by default): runs `find TREE -printf '%s %T@ %p\n' > /dev/null`,
// then the first full scan into an empty store; then find again and a second
// scan that must find nothing changed and write no rows. Then creates 1,000
// files in one burst under a watched folder and measures how long after the
// last creation they are all in the catalog, and through how many runs.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/platform/PersistentStore.h"
#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "app/search/CatalogStore.h"
#include "app/search/FileExclusionFilter.h"
#include "app/search/IndexingService.h"
#include "core/RunLoop.h"
#include "core/Strings.h"
#include "core/UserDefaults.h"

using namespace pallix;

namespace {

using BenchClock = std::chrono::steady_clock;

double since(BenchClock::time_point start) {
  return std::chrono::duration<double>(BenchClock::now() - start).count();
}

double cpuSeconds(int who) {
  struct rusage usage {};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// Wall and CPU (user + system) seconds of one contender.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

double peakRssMiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

class NoEntries final : public ApplicationEntrySource {
 public:
  std::vector<ApplicationDirectory> directories() override { return {}; }
  Result<DesktopEntry> parse(const std::string&, const std::string&) override { return Error::make("none"); }
};

class InotifyFactory final : public DirectoryWatcherFactory {
 public:
  std::unique_ptr<DirectoryWatcher> makeWatcher() override { return std::make_unique<InotifyDirectoryWatcher>(); }
};

Timing timeFind(const std::string& tree) {
  std::string command = "find '" + tree + "' -printf '%s %T@ %p\\n' > /dev/null 2>&1";
  const double cpu = cpuSeconds(RUSAGE_CHILDREN);
  auto start = BenchClock::now();
  int rc = std::system(command.c_str());
  (void)rc;
  return {since(start), cpuSeconds(RUSAGE_CHILDREN) - cpu};
}

// One service over its own store and defaults, indexing `folders` only.
struct Harness {
  std::string home;
  DataDirectories dirs;
  std::unique_ptr<UserDefaults> defaults = std::make_unique<UserDefaults>();
  std::unique_ptr<PersistentStore> store;
  FileExclusionFilter filter;
  NoEntries entries;
  InotifyFactory watchers;
  std::shared_ptr<RunLoop> main = RunLoop::create();
  std::shared_ptr<SerialExecutor> background = SerialExecutor::create("bench-scan");
  std::shared_ptr<SerialExecutor> directory = SerialExecutor::create("bench-dirchange");
  std::unique_ptr<IndexingService> service;

  Harness(const std::string& homeDir, const std::vector<std::string>& folders) : home(homeDir) {
    dirs = DataDirectories::forHome(home);
    std::filesystem::create_directories(dirs.data);
    std::filesystem::remove(dirs.storePath());
    auto opened = PersistentStore::open(dirs.storePath());
    if (!opened.ok()) {
      std::cerr << opened.error().description() << "\n";
      std::exit(1);
    }
    store = std::move(opened.value());
    (void)defaults->set(IndexingService::kFileDirectoriesKey, folders);
    IndexingService::Dependencies deps;
    deps.mainRunner = main;
    deps.backgroundRunner = background;
    deps.directoryChangeRunner = directory;
    deps.clock = &SystemClock::instance();
    deps.watcherFactory = &watchers;
    deps.defaults = defaults.get();
    deps.store = store.get();
    deps.filter = &filter;
    deps.dirs = dirs;
    deps.applicationEntries = &entries;
    deps.baseAppDirectories = {home + "/no-apps"};
    service = std::make_unique<IndexingService>(deps);
  }
  ~Harness() {
    service->stopWatching();
    background->shutdown();
    directory->shutdown();
    main->runUntilIdle();
    service.reset();
  }

  FullScanSummary scan() {
    FullScanSummary out;
    service->indexAll([&](const FullScanSummary& s) {
      out = s;
      main->quit();
    });
    main->run();
    return out;
  }
};

void generateTree(const std::string& root, int files, int folders) {
  std::filesystem::create_directories(root);
  const char* extensions[] = {"txt", "md", "cpp", "png", "pdf", "json", "mp3", "zip", "", "swift"};
  const int top = std::max(1, folders / 100);
  int made = 0;
  for (int f = 0; f < folders; ++f) {
    std::string folder = root + "/group" + std::to_string(f % top) + "/folder" + std::to_string(f);
    std::filesystem::create_directories(folder);
    const int count = files / folders + (f < files % folders ? 1 : 0);
    for (int i = 0; i < count; ++i, ++made) {
      const char* ext = extensions[made % 10];
      std::string path = folder + "/file" + std::to_string(made) + (*ext ? "." : "") + ext;
      std::ofstream(path) << std::string(static_cast<size_t>(made % 512), 'x');
    }
  }
}

void benchTree(const std::string& label, const std::string& tree, const std::string& work) {
  std::cout << "\n== " << label << ": " << tree << "\n";
  Harness harness(work + "/home-" + std::to_string(std::hash<std::string>()(tree) % 100000), {tree});
  timeFind(tree);  // warm the page cache for both contenders
  Timing find1 = timeFind(tree);
  double cpu = cpuSeconds(RUSAGE_SELF);
  auto start = BenchClock::now();
  FullScanSummary first = harness.scan();
  Timing scan1{since(start), cpuSeconds(RUSAGE_SELF) - cpu};
  std::cout << stringPrintf("find                 %8.3f s wall %8.3f s cpu\n", find1.wall, find1.cpu);
  std::cout << stringPrintf(
      "first full scan      %8.3f s wall %8.3f s cpu  (%.2fx find wall, %.2fx cpu; goal <= 2.5x)  %zu files, %zu "
      "folders, +%zu rows\n",
      scan1.wall, scan1.cpu, scan1.wall / find1.wall, scan1.cpu / find1.cpu, first.fileCount, first.folderCount,
      first.inserted);
  Timing find2 = timeFind(tree);
  const int64_t rowsBefore = harness.store->totalChanges();
  cpu = cpuSeconds(RUSAGE_SELF);
  start = BenchClock::now();
  FullScanSummary second = harness.scan();
  Timing scan2{since(start), cpuSeconds(RUSAGE_SELF) - cpu};
  const int64_t rowsWritten = harness.store->totalChanges() - rowsBefore;
  std::cout << stringPrintf("find                 %8.3f s wall %8.3f s cpu\n", find2.wall, find2.cpu);
  std::cout << stringPrintf(
      "unchanged rescan     %8.3f s wall %8.3f s cpu  (%.2fx find wall, %.2fx cpu; goal <= 1.2x)  unchanged=%s, "
      "rows written=%lld\n",
      scan2.wall, scan2.cpu, scan2.wall / find2.wall, scan2.cpu / find2.cpu, second.unchanged ? "yes" : "no",
      static_cast<long long>(rowsWritten));
  std::cout << stringPrintf("peak RSS so far      %8.1f MiB\n", peakRssMiB());
}

void benchBurst(const std::string& work) {
  std::cout << "\n== burst of 1,000 creations through the inotify watcher\n";
  std::string folder = work + "/burst";
  std::filesystem::remove_all(folder);
  generateTree(folder, 2000, 200);
  Harness harness(work + "/home-burst", {folder});
  harness.scan();
  harness.service->startWatching();
  if (!harness.service->isWatching()) {
    std::cout << "watcher could not start\n";
    return;
  }
  int runs = 0;
  BenchClock::time_point lastCreation;
  double latency = -1;
  CatalogStore catalog(*harness.store);
  const std::string target = folder + "/group0/folder0";
  harness.service->setIncrementalRunObserver([&](const IncrementalRunSummary&) {
    ++runs;
    auto count = catalog.count(IndexedItem::ItemType::file);
    if (count.ok() && count.value() >= 3000) {
      latency = since(lastCreation);
      harness.main->quit();
    }
  });
  harness.service->setFullScanObserver([&](const FullScanSummary&) {
    auto count = catalog.count(IndexedItem::ItemType::file);
    if (count.ok() && count.value() >= 3000) {
      latency = since(lastCreation);
      harness.main->quit();
    }
  });
  // Give the watcher's thread a moment to settle, then create the burst from
  // a task on the main loop so the loop is running when events arrive.
  harness.main->postDelayed(std::chrono::milliseconds(200), [&] {
    for (int i = 0; i < 1000; ++i) std::ofstream(target + "/burst" + std::to_string(i) + ".txt") << "b";
    lastCreation = BenchClock::now();
  });
  harness.main->postDelayed(std::chrono::seconds(15), [&] { harness.main->quit(); });
  harness.main->run();
  if (latency < 0) {
    std::cout << "the 1,000 files were not all catalogued within 15 s (" << runs << " incremental runs)\n";
  } else {
    std::cout << stringPrintf(
        "all 1,000 in the catalog %.3f s after the last creation (goal <= 3 s), %d incremental run(s)\n", latency,
        runs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int files = 200000;
  int folders = 20000;
  std::string work = (std::filesystem::temp_directory_path() / "pallix-catalog-bench").string();
  std::vector<std::string> trees;
  bool generated = true;
  bool burst = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--files")
      files = std::atoi(next().c_str());
    else if (arg == "--folders")
      folders = std::atoi(next().c_str());
    else if (arg == "--work")
      work = next();
    else if (arg == "--tree")
      trees.push_back(next());
    else if (arg == "--no-generated")
      generated = false;
    else if (arg == "--no-burst")
      burst = false;
    else {
      std::cerr << "unknown argument " << arg << "\n";
      return 2;
    }
  }
  if (trees.empty()) trees.push_back("/usr/share");
  std::filesystem::create_directories(work);
  std::cout << "catalog scan benchmark (work folder " << work << ")\n";
  if (generated) {
    std::string tree = work + "/tree";
    if (!std::filesystem::exists(tree + "/.complete")) {
      std::filesystem::remove_all(tree);
      auto start = BenchClock::now();
      generateTree(tree, files, folders);
      std::ofstream(tree + "/.complete") << "";
      std::cout << stringPrintf("generated %d files in %d folders in %.1f s\n", files, folders, since(start));
    }
    benchTree("generated tree", tree, work);
  }
  for (const std::string& tree : trees) benchTree("tree", tree, work);
  if (burst) benchBurst(work);
  std::cout << stringPrintf("\npeak RSS (getrusage maxrss) %.1f MiB\n", peakRssMiB());
  return 0;
}
