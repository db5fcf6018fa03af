// router_bench: latency of the query router on one core.
//
// Routes a fixed list of queries that the shortcut cannot settle through the
// classifier, and a list the shortcut settles, many times each, and prints
// p50 / p95 / p99 per path. Goals: classifier p95 under 5 ms, shortcut p95
// under 50 µs. Usage: router_bench [--rounds N] [--resources DIR]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "PallixRouter/PallixRouter.h"
#include "SimilaritySearchKit/TransformerEncoder.h"
#include "bench/support/BenchStats.h"

using namespace pallix;
using namespace pallix::router;

namespace {

struct Stats {
  double p50, p95, p99, max;
};

Stats summarize(const std::vector<double>& us) {
  auto at = [&](double fraction) { return pallix::bench::percentile(us, fraction); };
  return {at(0.50), at(0.95), at(0.99), at(1)};
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 200;
  std::optional<std::string> resources;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--resources") && i + 1 < argc)
      resources = argv[++i];
  }
  TransformerEncoder::setBlasThreadCount(1);
  char cacheTemplate[] = "/tmp/router-bench-XXXXXX";
  const char* cache = ::mkdtemp(cacheTemplate);
  const auto buildStart = std::chrono::steady_clock::now();
  auto router = PallixRouter::create(resources, 128, std::string(cache ? cache : "/tmp"));
  const double coldMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - buildStart).count();
  if (!router.ok()) {
    std::fprintf(stderr, "router_bench: %s\n", router.error().description().c_str());
    return 1;
  }
  const auto warmStart = std::chrono::steady_clock::now();
  auto again = PallixRouter::create(resources, 128, std::string(cache ? cache : "/tmp"));
  const double warmMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - warmStart).count();
  if (!again.ok()) return 1;

  const std::vector<std::string> classified = {
      "how do i get to the airport",
      "is it going to be cold in zürich",
      "what does petrichor mean",
      "ada lovelace",
      "what did sarah send me",
      "budget 2023",
      "spotify",
      "12 km to miles",
      "anna müller",
      "party popper",
      "thesis draft from last week",
      "do i need an umbrella tomorrow",
      "the roman empire in the second century and its provinces along the danube river"};
  const std::vector<std::string> shortcut = {"weather tomorrow", "define map",         "coffee near me",
                                             "budget.xlsx",      "who is alan turing", "what did tom say about rent"};
  std::vector<double> classifierUs, shortcutUs;
  for (int r = 0; r < rounds; ++r) {
    for (const auto& q : classified) {
      auto t0 = std::chrono::steady_clock::now();
      auto d = (*router)->routeDetailed(q, RouteOptions::defaults());
      auto t1 = std::chrono::steady_clock::now();
      if (!d.ok() || d->decidedByShortcut) return 1;
      classifierUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    for (const auto& q : shortcut) {
      auto t0 = std::chrono::steady_clock::now();
      auto d = (*router)->routeDetailed(q, RouteOptions::defaults());
      auto t1 = std::chrono::steady_clock::now();
      if (!d.ok() || !d->decidedByShortcut) return 1;
      shortcutUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
  }
  Stats c = summarize(classifierUs), s = summarize(shortcutUs);
  std::printf("router_bench: %d rounds, BLAS threads 1\n", rounds);
  std::printf("build (compile + load + warm-up): %.1f ms cold cache, %.1f ms warm cache\n", coldMs, warmMs);
  std::printf("classifier: %zu queries  p50 %.0f us  p95 %.0f us  p99 %.0f us  max %.0f us  (goal p95 < 5000 us) %s\n",
              classifierUs.size(), c.p50, c.p95, c.p99, c.max, c.p95 < 5000 ? "OK" : "MISSED");
  std::printf("shortcut:   %zu queries  p50 %.1f us  p95 %.1f us  p99 %.1f us  max %.1f us  (goal p95 < 50 us) %s\n",
              shortcutUs.size(), s.p50, s.p95, s.p99, s.max, s.p95 < 50 ? "OK" : "MISSED");
  std::string rm = std::string("rm -rf ") + (cache ? cache : "");
  if (cache) (void)std::system(rm.c_str());
  return 0;
}
