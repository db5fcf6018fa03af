// plain_words_bench: what reading a files query in plain words costs, per
// query, for phrasings that compile, read both ways and stay names. The panel
// reads each settled query twice (the chips, then the search), so this is
// time added to every files search.
//
//   plain_words_bench [--runs N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/search/PlainWordsFilters.h"
#include "bench/support/BenchStats.h"
#include "core/Clock.h"

namespace pallix {
namespace {

using Steady = std::chrono::steady_clock;

const std::vector<std::pair<const char*, std::vector<std::string>>> kGroups = {
    {"compiles",
     {"pdfs from last week", "big videos", "photos from march", "spreadsheets I changed today",
      "presentations about the budget", "videos over 1gb from 2023", "files in the invoices folder from last week"}},
    {"both ways", {"march madness", "big fish", "last week tonight", "budget spreadsheets"}},
    {"names", {"march madness.mp4", "quarterly report", "kestrel.conf", "the last of us", "IMG_2031.JPG"}},
};

}  // namespace
}  // namespace pallix

int main(int argc, char** argv) {
  using namespace pallix;
  int runs = 2000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  const DateContext context = DateContext::current(SystemClock::instance());
  std::printf("plain_words_bench: %d reads of each query\n", runs);
  for (const auto& [group, queries] : kGroups) {
    std::vector<double> micros;
    size_t sink = 0;
    for (int r = 0; r < runs; ++r) {
      for (const std::string& q : queries) {
        const auto start = Steady::now();
        const PlainWordsQuery read = PlainWordsFilters::read(q, context);
        micros.push_back(std::chrono::duration<double, std::micro>(Steady::now() - start).count());
        sink += read.filters.size();
      }
    }
    std::printf("  %-10s p50 %7.1f us  p99 %7.1f us  max %7.1f us  (%zu filters)\n", group,
                bench::percentile(micros, 0.5), bench::percentile(micros, 0.99), bench::percentile(micros, 1.0),
                sink / static_cast<size_t>(runs));
  }
  return 0;
}
