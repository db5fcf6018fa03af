// HNSWIndex against hnswlib on synthetic embeddings.
//
// Three data kinds, generated with a fixed seed: "latent" (a low-rank latent
// model plus noise, L2-normalised, like sentence embeddings), "clusters" (a
// 100-component Gaussian mixture) and "gaussian" (independent N(0,1)
// components). Both indexes use M = 16, efConstruction = 200, one thread.
// Ground truth for the queries is exact (brute force). Reported per kind:
// inserts/s, queries/s at ef 50 and 200, recall@10 at both, and heap bytes
// per vector (malloc statistics around construction), each with the ratio
// ours / hnswlib. Rates use the thread's CPU time, not wall time, so that
// other load on a shared machine does not skew one side. Each kind ends with
// the goal check: recall@10 at least 0.95 of hnswlib's at equal ef, insert
// and query rates at least hnswlib's. The load average is printed at the
// start and the end.
//
// Usage: bench_hnsw [--count N] [--dim D] [--queries Q] [--kinds latent,clusters,gaussian] [--seed S]
//                   [--center-scale X]   (clusters: 0.5 overlapping, default; 2 well separated)
#include <hnswlib/hnswlib.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "SimilaritySearchKit/HNSWIndex.h"
#include "SimilaritySearchKit/VectorMath.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::size_t count = 50000;
  std::size_t dim = 384;
  std::size_t queries = 1000;
  std::vector<std::string> kinds = {"latent", "clusters", "gaussian"};
  uint64_t seed = 20240601;
};

struct Dataset {
  std::size_t dim;
  std::vector<float> base;     // count x dim
  std::vector<float> queries;  // queries x dim
  std::vector<std::vector<uint32_t>> truth;
};

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// CPU time of the calling thread: rates stay comparable on a loaded, shared machine.
double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::size_t heapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void normalise(float* v, std::size_t dim) {
  double s = 0;
  for (std::size_t i = 0; i < dim; ++i) s += double(v[i]) * v[i];
  const float scale = s > 0 ? float(1.0 / std::sqrt(s)) : 1.0f;
  for (std::size_t i = 0; i < dim; ++i) v[i] *= scale;
}

// Fills `out` with n vectors of the given kind. `model` is drawn once per
// kind so that base and query vectors share it.
struct Generator {
  std::string kind;
  std::size_t dim;
  std::vector<float> projection;  // latent: dim x rank
  std::vector<float> centers;     // clusters: 100 x dim
  static constexpr std::size_t kRank = 32;
  static constexpr std::size_t kClusters = 100;
  // Centers are N(0, kCenterScale^2) per component, points N(center, kSpread^2):
  // two points of one cluster are about 0.89 times as far apart as two points
  // of different clusters, so the clusters overlap like topics of real texts.
  static inline float kCenterScale = 0.5f;  // --center-scale
  static constexpr float kSpread = 1.0f;

  Generator(std::string k, std::size_t d, std::mt19937_64& rng) : kind(std::move(k)), dim(d) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    if (kind == "latent") {
      projection.resize(dim * kRank);
      for (float& x : projection) x = normal(rng) / std::sqrt(float(kRank));
    } else if (kind == "clusters") {
      centers.resize(kClusters * dim);
      for (float& x : centers) x = kCenterScale * normal(rng);
    }
  }

  void fill(std::vector<float>& out, std::size_t n, std::mt19937_64& rng) const {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    out.resize(n * dim);
    std::vector<float> z(kRank);
    for (std::size_t i = 0; i < n; ++i) {
      float* v = out.data() + i * dim;
      if (kind == "latent") {
        for (float& x : z) x = normal(rng);
        for (std::size_t d = 0; d < dim; ++d) {
          float s = 0;
          for (std::size_t r = 0; r < kRank; ++r) s += projection[d * kRank + r] * z[r];
          v[d] = s + 0.15f * normal(rng);
        }
        normalise(v, dim);
      } else if (kind == "clusters") {
        const float* c = centers.data() + (rng() % kClusters) * dim;
        for (std::size_t d = 0; d < dim; ++d) v[d] = c[d] + kSpread * normal(rng);
      } else {
        for (std::size_t d = 0; d < dim; ++d) v[d] = normal(rng);
      }
    }
  }
};

Dataset makeDataset(const std::string& kind, const Options& o) {
  std::mt19937_64 rng(o.seed ^ std::hash<std::string>{}(kind) ^ o.dim);
  Generator gen(kind, o.dim, rng);
  Dataset ds;
  ds.dim = o.dim;
  gen.fill(ds.base, o.count, rng);
  gen.fill(ds.queries, o.queries, rng);
  ds.truth.resize(o.queries);
  for (std::size_t q = 0; q < o.queries; ++q) {
    std::vector<std::pair<float, uint32_t>> heap;  // max-heap of the 10 best
    const float* qv = ds.queries.data() + q * o.dim;
    for (std::size_t i = 0; i < o.count; ++i) {
      const float d = pallix::simkit::l2Squared(qv, ds.base.data() + i * o.dim, o.dim);
      if (heap.size() < 10) {
        heap.emplace_back(d, uint32_t(i));
        std::push_heap(heap.begin(), heap.end());
      } else if (d < heap.front().first) {
        std::pop_heap(heap.begin(), heap.end());
        heap.back() = {d, uint32_t(i)};
        std::push_heap(heap.begin(), heap.end());
      }
    }
    for (const auto& [d, i] : heap) ds.truth[q].push_back(i);
  }
  return ds;
}

struct Figures {
  double insertsPerSecond = 0;
  double qps[2] = {0, 0};
  double recall[2] = {0, 0};
  double bytesPerVector = 0;
};

constexpr std::size_t kEfs[2] = {50, 200};

double recallOf(const std::vector<uint32_t>& truth, const std::vector<uint32_t>& got) {
  std::size_t hit = 0;
  for (uint32_t t : truth) hit += std::count(got.begin(), got.end(), t) > 0;
  return double(hit) / double(truth.size());
}

Figures runOurs(const Dataset& ds, std::size_t count, std::size_t queries) {
  Figures f;
  std::vector<std::string> ids(count);
  for (std::size_t i = 0; i < count; ++i) ids[i] = std::to_string(i);
  const std::size_t heapBefore = heapInUse();
  auto index = std::make_unique<pallix::HNSWIndex>(16, 200, 50);
  index->setRandomSeed(100);
  index->reserve(count);
  std::vector<float> v(ds.dim);
  const double t0 = threadSeconds();
  for (std::size_t i = 0; i < count; ++i) {
    v.assign(ds.base.begin() + std::ptrdiff_t(i * ds.dim), ds.base.begin() + std::ptrdiff_t((i + 1) * ds.dim));
    index->insert(ids[i], v);
  }
  f.insertsPerSecond = double(count) / (threadSeconds() - t0);
  f.bytesPerVector = double(heapInUse() - heapBefore) / double(count);
  for (int e = 0; e < 2; ++e) {
    index->setEfSearch(int64_t(kEfs[e]));
    std::vector<std::vector<float>> qs(queries);
    for (std::size_t q = 0; q < queries; ++q) {
      qs[q].assign(ds.queries.begin() + std::ptrdiff_t(q * ds.dim),
                   ds.queries.begin() + std::ptrdiff_t((q + 1) * ds.dim));
    }
    std::vector<std::vector<uint32_t>> got(queries);
    const double s0 = threadSeconds();
    for (std::size_t q = 0; q < queries; ++q) {
      for (const auto& n : index->search(qs[q], 10)) got[q].push_back(uint32_t(std::stoul(n.id)));
    }
    f.qps[e] = double(queries) / (threadSeconds() - s0);
    double r = 0;
    for (std::size_t q = 0; q < queries; ++q) r += recallOf(ds.truth[q], got[q]);
    f.recall[e] = r / double(queries);
  }
  return f;
}

Figures runHnswlib(const Dataset& ds, std::size_t count, std::size_t queries) {
  Figures f;
  const std::size_t heapBefore = heapInUse();
  auto space = std::make_unique<hnswlib::L2Space>(ds.dim);
  auto index = std::make_unique<hnswlib::HierarchicalNSW<float>>(space.get(), count, 16, 200, 100);
  const double t0 = threadSeconds();
  for (std::size_t i = 0; i < count; ++i) index->addPoint(ds.base.data() + i * ds.dim, i);
  f.insertsPerSecond = double(count) / (threadSeconds() - t0);
  f.bytesPerVector = double(heapInUse() - heapBefore) / double(count);
  for (int e = 0; e < 2; ++e) {
    index->setEf(kEfs[e]);
    std::vector<std::vector<uint32_t>> got(queries);
    const double s0 = threadSeconds();
    for (std::size_t q = 0; q < queries; ++q) {
      auto result = index->searchKnn(ds.queries.data() + q * ds.dim, 10);
      while (!result.empty()) {
        got[q].push_back(uint32_t(result.top().second));
        result.pop();
      }
    }
    f.qps[e] = double(queries) / (threadSeconds() - s0);
    double r = 0;
    for (std::size_t q = 0; q < queries; ++q) r += recallOf(ds.truth[q], got[q]);
    f.recall[e] = r / double(queries);
  }
  return f;
}

// The three figures of /proc/loadavg, or "unknown".
std::string loadAverage() {
  std::FILE* f = std::fopen("/proc/loadavg", "r");
  double a = 0, b = 0, c = 0;
  const bool ok = f != nullptr && std::fscanf(f, "%lf %lf %lf", &a, &b, &c) == 3;
  if (f != nullptr) std::fclose(f);
  if (!ok) return "unknown";
  char out[64];
  std::snprintf(out, sizeof out, "%.2f %.2f %.2f", a, b, c);
  return out;
}

// "met", or the figures that miss the goal.
std::string goalCheck(const Figures& ours, const Figures& base) {
  std::string missed;
  auto need = [&](bool ok, const std::string& what) {
    if (!ok) missed += (missed.empty() ? "" : ", ") + what;
  };
  for (int e = 0; e < 2; ++e) {
    const std::string ef = std::to_string(kEfs[e]);
    need(ours.recall[e] >= 0.95 * base.recall[e], "recall@10 ef=" + ef);
    need(ours.qps[e] >= base.qps[e], "queries/s ef=" + ef);
  }
  need(ours.insertsPerSecond >= base.insertsPerSecond, "inserts/s");
  return missed.empty() ? "met" : "missed: " + missed;
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, ',')) out.push_back(part);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "missing value for %s\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--count")
      o.count = std::stoul(next());
    else if (a == "--dim")
      o.dim = std::stoul(next());
    else if (a == "--queries")
      o.queries = std::stoul(next());
    else if (a == "--kinds")
      o.kinds = split(next());
    else if (a == "--seed")
      o.seed = std::stoull(next());
    else if (a == "--center-scale")
      Generator::kCenterScale = std::stof(next());
    else {
      std::fprintf(stderr,
                   "usage: bench_hnsw [--count N] [--dim D] [--queries Q] [--kinds latent,clusters,gaussian] "
                   "[--seed S] [--center-scale X]\n");
      return 2;
    }
  }
  std::printf(
      "HNSW benchmark: %zu vectors, dimension %zu, %zu queries, M 16, efConstruction 200, k 10, kernel %s, "
      "cluster center scale %.2f\n",
      o.count, o.dim, o.queries, pallix::simkit::vectorKernelName(), double(Generator::kCenterScale));
  std::printf("load average at start: %s\n", loadAverage().c_str());
  for (const auto& kind : o.kinds) {
    auto g0 = Clock::now();
    Dataset ds = makeDataset(kind, o);
    std::printf("\n[%s] data and exact ground truth in %.1f s\n", kind.c_str(), seconds(g0, Clock::now()));
    Figures ours = runOurs(ds, o.count, o.queries);
    Figures base = runHnswlib(ds, o.count, o.queries);
    std::printf("  %-22s %14s %14s %8s\n", "", "HNSWIndex", "hnswlib", "ratio");
    auto row = [](const char* name, double a, double b, const char* fmt) {
      char x[32], y[32];
      std::snprintf(x, sizeof x, fmt, a);
      std::snprintf(y, sizeof y, fmt, b);
      std::printf("  %-22s %14s %14s %8.3f\n", name, x, y, b != 0 ? a / b : 0.0);
    };
    row("inserts/s", ours.insertsPerSecond, base.insertsPerSecond, "%.0f");
    row("queries/s ef=50", ours.qps[0], base.qps[0], "%.0f");
    row("queries/s ef=200", ours.qps[1], base.qps[1], "%.0f");
    row("recall@10 ef=50", ours.recall[0], base.recall[0], "%.4f");
    row("recall@10 ef=200", ours.recall[1], base.recall[1], "%.4f");
    row("bytes/vector", ours.bytesPerVector, base.bytesPerVector, "%.0f");
    std::printf("  goal (recall >= 0.95 x hnswlib, rates >= hnswlib): %s\n", goalCheck(ours, base).c_str());
    std::fflush(stdout);
  }
  std::printf("\nload average at end: %s\n", loadAverage().c_str());
  return 0;
}
