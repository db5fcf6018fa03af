// The clipboard mode per keystroke: index build time for a 10,000-item
// history and the filter's p99 (goal: under 2 ms once the index is built);
// then the memory of that history with images (every tenth item a 200 KB
// PNG), in the store file and in the process; then the CPU time of making
// the rows of each answer (clipboard mode's facts, tiles and detail panes).
//
//   build/bin/clipboard_bench [directory for the store, default /tmp]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/clipboard/ClipboardCapture.h"
#include "app/clipboard/ClipboardModeSearchProvider.h"
#include "app/clipboard/ClipboardSearchIndex.h"
#include "app/clipboard/ClipboardStore.h"
#include "app/search/CatalogSchema.h"
#include "bench/support/BenchStats.h"
#include "testing/VirtualTime.h"

namespace {

using namespace pallix;

long rssKiB() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void report(const char* name, const std::vector<double>& micros) {
  auto at = [&](double fraction) { return bench::percentile(micros, fraction); };
  std::printf("%-34s n=%-5zu p50 %7.1f us   p99 %7.1f us   max %7.1f us\n", name, micros.size(), at(0.5), at(0.99),
              at(1));
}

const char* kWords[] = {"meeting",        "notes",   "budget",        "invoice",   "https://example.com/page",
                        "café",           "Straße",  "project",       "deadline",  "lunch",
                        "password reset", "ticket",  "merge request", "résumé",    "docker",
                        "kubernetes",     "release", "draft",         "Übersicht", "agenda"};

PasteboardItem randomItem(std::mt19937& random, int index) {
  std::string text = "item " + std::to_string(index);
  const int words = 3 + static_cast<int>(random() % 40);
  for (int w = 0; w < words; ++w) text += std::string(" ") + kWords[random() % std::size(kWords)];
  if (index % 10 == 0) {
    std::string png = "\x89PNG\r\n\x1a\n";
    png += std::to_string(index);  // each image distinct
    png.resize(200 * 1024, static_cast<char>(random()));
    return PasteboardItem{{{"image/png", png}}};
  }
  if (index % 3 == 0) return PasteboardItem{{{"text/html", "<p>" + text + "</p>"}, {"UTF8_STRING", text}}};
  return PasteboardItem{{{"UTF8_STRING", text}}};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::string path = dir + "/clipboard_bench_" + std::to_string(::getpid()) + ".sqlite";
  auto db = PersistentStore::open(path, catalogMigrationSteps()).value();
  ClipboardStore store(*db);
  std::mt19937 random(42);
  const auto insertStart = std::chrono::steady_clock::now();
  for (int i = 0; i < 10000; ++i) {
    ClipboardItem item;
    item.representations = extractRepresentations(randomItem(random, i));
    item.updatePrimaryText(derivePrimaryText(item.representations));
    item.detectedURLString = deriveURL(item.representations, item.primaryText);
    item.contentHash = computeHash(item.representations);
    item.contentKindRaw =
        static_cast<int>(determineContentKind(item.representations, item.detectedURLString, item.primaryText));
    item.createdAt = dateFromSecondsSince1970(1.7e9 + i);
    if (Status inserted = store.insert(item); !inserted.ok()) {
      std::fprintf(stderr, "insert %d: %s\n", i, inserted.error().description().c_str());
      return 1;
    }
  }
  (void)store.save();
  std::printf("inserted 10,000 items in %.2f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - insertStart).count());

  const long rssBefore = rssKiB();
  auto history = store.fetchAll().value();
  const long rssAfter = rssKiB();
  std::error_code ec;
  (void)db->execute("PRAGMA wal_checkpoint(TRUNCATE)");
  std::printf("store file: %.1f MiB after a checkpoint (1,000 images of 200 KiB are 195 MiB of it)\n",
              static_cast<double>(std::filesystem::file_size(path, ec)) / (1 << 20));
  std::printf("history in memory: %ld KiB resident for %zu items (%.0f bytes per item)\n", rssAfter - rssBefore,
              history.size(), 1024.0 * static_cast<double>(rssAfter - rssBefore) / static_cast<double>(history.size()));

  VirtualTimeEnvironment env;
  ClipboardSearchIndex index(env.mainRunner(), env.mainRunner());
  index.updateHistory(history);
  std::vector<double> builds;
  for (int round = 0; round < 5; ++round) {
    index.clear();
    const double start = bench::threadCpuSeconds() * 1e6;
    index.filter("x");  // builds the whole index
    builds.push_back(bench::threadCpuSeconds() * 1e6 - start);
  }
  report("index build, 10,000 items (CPU)", builds);

  std::vector<std::string> queries;
  for (const std::string typed : {"meeting notes", "kubernetes release", "straße", "https://example", "zzz nothing"}) {
    for (size_t n = 1; n <= typed.size(); ++n) queries.push_back(typed.substr(0, n));
  }
  for (int i = 0; i < 200; ++i) queries.push_back(std::string(1, static_cast<char>('a' + random() % 26)));
  std::vector<double> cpu, wall;
  for (int round = 0; round < 5; ++round) {
    for (const std::string& q : queries) {
      const auto w = std::chrono::steady_clock::now();
      const double c = bench::threadCpuSeconds() * 1e6;
      auto matches = index.filter(q);
      cpu.push_back(bench::threadCpuSeconds() * 1e6 - c);
      wall.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - w).count());
    }
  }
  report("filter per keystroke (wall)", wall);
  report("filter per keystroke (CPU)", cpu);

  // The rows of each answer, as the clipboard mode makes them (facts, tile
  // and detail pane per match), for the same keystrokes.
  std::vector<double> rows;
  const Date now = dateFromSecondsSince1970(1.7e9 + 20000);
  for (const std::string& q : queries) {
    auto matches = index.filter(q);
    const double c = bench::threadCpuSeconds() * 1e6;
    std::vector<ModeResult> results;
    results.reserve(matches.size());
    for (const ClipboardItem* item : matches) results.push_back(ClipboardModeSearchProvider::resultFor(*item, now));
    rows.push_back(bench::threadCpuSeconds() * 1e6 - c);
  }
  report("rows per keystroke (CPU)", rows);
  std::vector<ModeResult> all;
  const double c = bench::threadCpuSeconds() * 1e6;
  for (const ClipboardItem& item : history) all.push_back(ClipboardModeSearchProvider::resultFor(item, now));
  std::printf("rows of all 10,000 items (the empty query): %.0f us CPU\n", bench::threadCpuSeconds() * 1e6 - c);
  db.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix, ec);
  return 0;
}
