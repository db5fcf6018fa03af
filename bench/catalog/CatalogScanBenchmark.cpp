// Catalog index benchmark. Prints a report; no pass/fail.
//
//   catalog_scan_bench [--repeat N] [--files N] [--folders N] [--work DIR] [--tree DIR]...
//                      [--no-docman] [--no-generated] [--no-burst] [--pallix PATH]
//
// For each tree (a copy of /usr/share/doc and /usr/share/man made once in the
// work folder, a generated tree of N files in N folders, and every --tree)
// and each of N rounds, side by side in one run: `find TREE -printf '%s %T@
// %p\n' > /dev/null`, then a first `pallix index` (the real binary, into an
// empty store: scan, rows, file name index and filter indexes), then find
// again and a second `pallix index` that must find nothing changed and leave
// the store file untouched. Wall and CPU (user + system) time of each child
// process and the peak resident memory of the index; the report gives the
// medians and their ratios to find. Desktop entries are left out (an empty
// XDG_DATA_DIRS) so both sides walk the same files. Then 1,000 files are created in one burst under a watched folder
// and the report says how long after the last creation they are all in the
// catalog, and through how many runs.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/platform/PersistentStore.h"
#include "app/platform/linux/InotifyDirectoryWatcher.h"
#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/FileExclusionFilter.h"
#include "app/search/IndexingService.h"
#include "bench/support/BenchStats.h"
#include "bench/support/ProcessTiming.h"
#include "core/RunLoop.h"
#include "core/Strings.h"
#include "core/UserDefaults.h"

using namespace pallix;

namespace {

using BenchClock = std::chrono::steady_clock;

double since(BenchClock::time_point start) {
  return std::chrono::duration<double>(BenchClock::now() - start).count();
}

using Timing = bench::ProcessTiming;
using bench::runTimed;

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
  return runTimed({"find", tree, "-printf", "%s %T@ %p\n"}, {});
}

double median(const std::vector<double>& values) {
  return bench::percentile(values, 0.5);
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
    auto opened = PersistentStore::open(dirs.storePath(), catalogMigrationSteps());
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

struct IndexRounds {
  std::vector<double> findWall, findCpu, indexWall, indexCpu, indexPeak;
  void add(const Timing& find, const Timing& index) {
    findWall.push_back(find.wall);
    findCpu.push_back(find.cpu);
    indexWall.push_back(index.wall);
    indexCpu.push_back(index.cpu);
    indexPeak.push_back(index.peakMiB);
  }
  void print(const char* label, double goal) const {
    const double fw = median(findWall), fc = median(findCpu), iw = median(indexWall), ic = median(indexCpu);
    std::cout << stringPrintf("  find               %8.3f s wall %8.3f s cpu\n", fw, fc);
    std::cout << stringPrintf(
        "  %-18s %8.3f s wall %8.3f s cpu   %.2fx find wall, %.2fx cpu (goal <= %.1fx), peak RSS %.0f MiB\n", label, iw,
        ic, iw / fw, ic / fc, goal, median(indexPeak));
  }
};

// The store file's size and modification time: equal before and after a
// rescan means nothing was written to it.
std::pair<int64_t, int64_t> storeStamp(const std::string& storePath) {
  struct stat st {};
  if (::stat(storePath.c_str(), &st) != 0) return {-1, -1};
  return {st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
}

void benchTree(const std::string& label, const std::string& tree, const std::string& work, const std::string& pallix,
               int rounds) {
  std::cout << "\n== " << label << ": " << tree << " (median of " << rounds << " rounds)\n";
  const std::string noEntries = work + "/no-desktop-entries";
  std::filesystem::create_directories(noEntries);
  IndexRounds first, unchanged;
  bool allUnchanged = true, storeUntouched = true;
  size_t records = 0;
  timeFind(tree);  // warm the page cache for both contenders
  for (int round = 0; round < rounds; ++round) {
    const std::string home = work + "/home-" + label;
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home);
    const std::vector<std::string> env = {"PALLIX_HOME=" + home, "HOME=" + home, "XDG_DATA_DIRS=" + noEntries};
    runTimed({pallix, "folders", "add", tree}, env);
    const std::string summary = home + "/summary.json";
    const Timing find1 = timeFind(tree);
    const Timing index1 = runTimed({pallix, "index", "--json"}, env, summary);
    first.add(find1, index1);
    records = nlohmann::json::parse(std::ifstream(summary), nullptr, false).value("inserted", size_t{0});
    const std::string store = DataDirectories::forHome(home).storePath();
    const auto before = storeStamp(store);
    const Timing find2 = timeFind(tree);
    const Timing index2 = runTimed({pallix, "index", "--json"}, env, summary);
    unchanged.add(find2, index2);
    allUnchanged &= nlohmann::json::parse(std::ifstream(summary), nullptr, false).value("unchanged", false);
    storeUntouched &= storeStamp(store) == before;
  }
  std::cout << "  first index: " << records << " records\n";
  first.print("first pallix index", 2.0);
  unchanged.print("unchanged rescan", 1.2);
  std::cout << "  unchanged rescans: " << (allUnchanged ? "all reported unchanged" : "NOT ALL UNCHANGED") << ", store "
            << (storeUntouched ? "untouched" : "WRITTEN") << "\n";
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
  bool docman = true;
  bool burst = true;
  int rounds = 3;
  std::string pallix = PALLIX_BINARY;
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
    else if (arg == "--no-docman")
      docman = false;
    else if (arg == "--repeat")
      rounds = std::max(1, std::atoi(next().c_str()));
    else if (arg == "--pallix")
      pallix = next();
    else if (arg == "--no-burst")
      burst = false;
    else {
      std::cerr << "unknown argument " << arg << "\n";
      return 2;
    }
  }
  std::filesystem::create_directories(work);
  std::cout << "catalog index benchmark (work folder " << work << ", " << pallix << ")\n";
  if (docman) {
    const std::string tree = work + "/docman";
    if (!std::filesystem::exists(tree + "/.complete")) {
      std::filesystem::remove_all(tree);
      std::filesystem::create_directories(tree);
      runTimed({"cp", "-a", "/usr/share/doc", tree + "/doc"}, {});
      runTimed({"cp", "-a", "/usr/share/man", tree + "/man"}, {});
      std::ofstream(tree + "/.complete") << "";
    }
    benchTree("docman", tree, work, pallix, rounds);
  }
  if (generated) {
    std::string tree = work + "/tree";
    if (!std::filesystem::exists(tree + "/.complete")) {
      std::filesystem::remove_all(tree);
      auto start = BenchClock::now();
      generateTree(tree, files, folders);
      std::ofstream(tree + "/.complete") << "";
      std::cout << stringPrintf("generated %d files in %d folders in %.1f s\n", files, folders, since(start));
    }
    benchTree("generated", tree, work, pallix, rounds);
  }
  for (size_t i = 0; i < trees.size(); ++i) benchTree("tree" + std::to_string(i + 1), trees[i], work, pallix, rounds);
  if (burst) benchBurst(work);
  std::cout << stringPrintf("\npeak RSS (getrusage maxrss) %.1f MiB\n", peakRssMiB());
  return 0;
}
