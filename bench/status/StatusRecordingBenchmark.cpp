// status_recording_bench: what the latency recording of `pallix status`
// adds to a query. App searches (the cheapest query, one per keystroke) and
// files-mode searches run on a catalog file of 2,000 apps (as search_bench's)
// and 20,000 files, alternately through the bare provider and through the
// recording wrapper the agents attach; the record alone is timed too. Its
// cost is mostly the two readings of the clock (vDSO clock_gettime).
//
//   status_recording_bench [--rounds N]
//
// Prints the median time of each, and the record's share of the median
// query (the goal: under 1%).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/SearchProviders.h"
#include "app/shell/RecordedSearchProviders.h"
#include "app/shell/StatusReport.h"
#include "bench/support/BenchStats.h"

namespace pallix {
namespace {

using Steady = std::chrono::steady_clock;

double microsecondsOf(Steady::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// A catalog file as the agents open it (WAL beside it), in `path`.
std::unique_ptr<PersistentStore> makeCatalog(const std::string& path) {
  auto opened = PersistentStore::open(path, catalogMigrationSteps());
  if (!opened.ok()) {
    std::fprintf(stderr, "cannot open the catalog: %s\n", opened.error().description().c_str());
    std::exit(1);
  }
  std::unique_ptr<PersistentStore> store = std::move(opened).value();
  CatalogStore catalog(*store);
  (void)catalog.beginBulkLoad();
  const char* words[] = {"report", "budget", "notes", "photo", "invoice", "draft", "summary", "plan"};
  for (int i = 0; i < 2000; ++i) {
    IndexedItem app;
    app.itemTypeRaw = "app";
    app.path = "/usr/share/applications/app" + std::to_string(i) + ".desktop";
    app.name = app.searchName = std::string(words[i % 8]) + " tool " + std::to_string(i);
    app.bundleIdentifier = "app" + std::to_string(i) + ".desktop";
    (void)catalog.save(app);
  }
  for (int i = 0; i < 20000; ++i) {
    const std::string name = std::string(words[i % 8]) + "-" + std::to_string(i);
    IndexedItem file = IndexedItem::file("/home/u/Documents/d" + std::to_string(i % 97) + "/" + name + ".txt", name,
                                         "txt", 100 + i, {}, {}, {}, {});
    (void)catalog.save(file);
  }
  if (Status done = catalog.commitBulkLoad(); !done.ok()) {
    std::fprintf(stderr, "cannot fill the catalog: %s\n", done.error().description().c_str());
    std::exit(1);
  }
  return store;
}

// Median microseconds of `query`, run `rounds` times after a warm-up.
template <typename F>
double median(int rounds, F&& query) {
  for (int i = 0; i < 5; ++i) query(i);
  std::vector<double> times;
  times.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    const auto start = Steady::now();
    query(i);
    times.push_back(microsecondsOf(Steady::now() - start));
  }
  return bench::percentile(times, 0.5);
}

}  // namespace
}  // namespace pallix

int main(int argc, char** argv) {
  using namespace pallix;
  int rounds = 400;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
  }
  char dir[] = "/tmp/pallix-status-bench-XXXXXX";
  if (!::mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  auto store = makeCatalog(std::string(dir) + "/Pallix.sqlite");
  SourceStatistics statistics(SystemClock::instance());
  auto apps = std::make_shared<CatalogAppSearchProvider>(*store);
  RecordedAppSearch recordedApps(apps, statistics);
  auto files = std::make_shared<CatalogFileSearchProvider>(*store, SystemClock::instance());
  RecordedFileSearch recordedFiles(files, statistics);
  const std::vector<std::string> typed = {"r", "re", "rep", "repo", "repor", "report", "b", "bu", "bud", "budg"};

  // Alternating blocks, so that drift of the machine touches both alike.
  std::vector<double> bareApps, wrappedApps, bareFiles, wrappedFiles;
  for (int block = 0; block < 5; ++block) {
    bareApps.push_back(median(rounds, [&](int i) { (void)apps->fetchApps(typed[i % typed.size()]); }));
    wrappedApps.push_back(median(rounds, [&](int i) { (void)recordedApps.fetchApps(typed[i % typed.size()]); }));
    bareFiles.push_back(median(rounds / 4, [&](int i) { (void)files->search(typed[i % typed.size()], 50); }));
    wrappedFiles.push_back(median(rounds / 4, [&](int i) { (void)recordedFiles.search(typed[i % typed.size()], 50); }));
  }
  // The record alone: a clock read on each side and the ring's store, under its lock.
  const int records = 200000;
  const auto start = Steady::now();
  const SourceStatistics::QuerySlot slot = statistics.slot(kAppsSource);
  for (int i = 0; i < records; ++i) {
    ScopedQueryTimer timer(statistics.clock(), slot);
  }
  const double recordMicros = microsecondsOf(Steady::now() - start) / records;

  auto mid = [](std::vector<double> v) { return bench::percentile(std::move(v), 0.5); };
  const double appBare = mid(bareApps), appWrapped = mid(wrappedApps);
  const double fileBare = mid(bareFiles), fileWrapped = mid(wrappedFiles);
  store.reset();
  std::filesystem::remove_all(dir);
  std::printf("catalog: 2000 apps, 20000 files (a store file, as the agent's); %d rounds x 5 blocks\n", rounds);
  std::printf("app search        bare %9.2f us   recorded %9.2f us   (%+.2f%%)\n", appBare, appWrapped,
              100.0 * (appWrapped - appBare) / appBare);
  std::printf("files search      bare %9.2f us   recorded %9.2f us   (%+.2f%%)\n", fileBare, fileWrapped,
              100.0 * (fileWrapped - fileBare) / fileBare);
  std::printf("one record        %.3f us = %.3f%% of an app search, %.4f%% of a files search (goal < 1%%)\n",
              recordMicros, 100.0 * recordMicros / appBare, 100.0 * recordMicros / fileBare);
  return 100.0 * recordMicros / appBare < 1.0 ? 0 : 1;
}
