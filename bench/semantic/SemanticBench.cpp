// semantic_bench: the semantic file search core against its goals, with a
// random-weight model of bge-small's shape (12 layers, 384 hidden, 30,522
// tokens) and the encoder threads of the compute units "all" (2 on the
// build machine).
//
//   semantic_bench index [--docs DIR] [--chunks N]
//     Copies text files of DIR (default /usr/share/doc) into a temporary
//     folder until about N chunks (default 2000), runs one full pass at
//     intensity maximum with no per-file pause, and reports: chunks embedded
//     per second end to end (collection, reading, chunking, embedding, graph
//     insertion, save) next to the encoder's own batched chunks per second on
//     the same chunks in the same run; peak resident memory during the pass;
//     and the time from requestPause() to the indexer pausing, next to one
//     file's embedding time.
//   semantic_bench corpus [--chunks N] [--queries Q] [--dir DIR] [--compute-units U]
//     Generates N chunk records (default 100,000) with random unit vectors
//     (cached in DIR, default /tmp/pallix-semantic-bench), and reports the
//     metadata-only store load (time, model loads, file sizes compressed and
//     not, LZFSE ratio, also against one-shot LZFSE) and the semantic files
//     query (query embedding + graph search + merge) p50 and p95.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "SimilaritySearchKit/TransformerEncoder.h"
#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "app/semantic/Lzfse.h"
#include "app/semantic/SemanticServices.h"
#include "app/semantic/lzfse/LzfseStream.h"
#include "bench/support/BenchStats.h"
#include "bench/support/RandomBgeSmall.h"
#include "core/FileUtil.h"
#include "core/RunLoop.h"

using namespace pallix;
namespace fs = std::filesystem;
using Wall = std::chrono::steady_clock;

namespace {

double secondsSince(Wall::time_point start) {
  return std::chrono::duration<double>(Wall::now() - start).count();
}

// Chunks per wall second and per CPU second of the encoder alone on the
// first `count` texts, in the store's batches.
std::pair<double, double> measureEncoder(const std::string& model, const std::vector<std::string>& texts,
                                         size_t count) {
  auto encoder = BGESmallEmbeddings::createFromDirectory(EmbeddingComputeUnits::all, model);
  const size_t sample = std::min(texts.size(), count);
  (void)encoder.value()->encodeBatch({texts[0]});
  const auto start = Wall::now();
  const double cpuStart = bench::processCpuSeconds();
  for (size_t i = 0; i < sample; i += EmbeddingStore::kEmbeddingBatchSize) {
    std::vector<std::string> batch(
        texts.begin() + ptrdiff_t(i),
        texts.begin() + ptrdiff_t(std::min(sample, i + EmbeddingStore::kEmbeddingBatchSize)));
    (void)encoder.value()->encodeBatch(batch);
  }
  return {double(sample) / secondsSince(start), double(sample) / (bench::processCpuSeconds() - cpuStart)};
}

uint64_t peakResidentBytes() {  // VmHWM
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// Waits on the main loop for an asynchronous answer.
template <typename T, typename Start>
T await(const std::shared_ptr<RunLoop>& loop, Start start) {
  std::optional<T> result;
  start(Completion<T>(loop, [&](T value) {
    result = std::move(value);
    loop->quit();
  }));
  loop->run();
  return std::move(*result);
}

std::string option(int argc, char** argv, const char* name, const std::string& fallback) {
  for (int i = 2; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], name)) return argv[i + 1];
  }
  return fallback;
}

int runIndex(const std::string& docs, size_t targetChunks) {
  const std::string work = (fs::temp_directory_path() / ("pallix-semantic-bench-" + UUID::random().string())).string();
  const std::string folder = work + "/docs", model = work + "/model";
  bench::writeRandomBgeSmall(model);

  // The copy of the documentation: text files in path order until the target.
  std::vector<std::string> sources;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(docs, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && it->path().extension() != ".gz") sources.push_back(it->path().string());
  }
  std::sort(sources.begin(), sources.end());
  size_t files = 0, estimated = 0;
  std::vector<std::string> texts;
  for (const auto& source : sources) {
    auto text = readTextFile(source);
    if (!text.ok() || text->size() > 200 * 1024) continue;  // one huge file would dominate the sample
    const std::string target = folder + "/" + fs::relative(source, docs).string();
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(source, target, ec);
    for (const auto& chunk : makeFileChunks(describeFile(target).value(), text.value())) texts.push_back(chunk.text);
    ++files;
    estimated = texts.size();
    if (estimated >= targetChunks) break;
  }
  std::printf("corpus: %zu text files copied from %s, %zu chunks\n", files, docs.c_str(), estimated);

  // The encoder alone on the same chunk texts, before and after the pass.
  const auto before = measureEncoder(model, texts, 200);

  UserDefaults defaults;
  (void)defaults.set("FilesPreferences.computeUnits", "all");
  (void)defaults.set("FilesPreferences.indexingIntensity", "maximum");
  SemanticServicesOptions options;
  options.dirs = DataDirectories::forHome(work);
  options.defaults = &defaults;
  options.modelFactory = std::make_shared<DirectoryEmbeddingModelFactory>(model);
  options.storeDirectory = work + "/data";
  options.temporaryDirectory = work;
  options.tuning.perFilePauseOverride = Duration::zero();
  auto services = SemanticServices::create(std::move(options));
  auto loop = RunLoop::create();
  (void)await<Status>(loop, [&](Completion<Status> done) { services->initialize(done); });

  // Resident memory, sampled through the pass.
  std::atomic<bool> sampling{true};
  std::atomic<uint64_t> peakSampled{0};
  std::thread sampler([&] {
    while (sampling) {
      peakSampled = std::max<uint64_t>(peakSampled, processResidentMemoryBytes());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  // requestPause() at intervals; the progress observer sees the pause land.
  std::mutex mutex;
  std::condition_variable changed;
  bool paused = false, passDone = false, embedding = false;
  services->fileIndexer()->setProgressObserver(
      Completion<FileChunkIndexer::Progress>([&](FileChunkIndexer::Progress p) {
        std::lock_guard lock(mutex);
        paused = p.phase == FileChunkIndexer::Phase::paused;
        embedding = embedding || p.chunksAdded > 0;
        changed.notify_all();
      }));
  std::vector<double> pauseLatencies;
  std::thread pauser([&] {
    {
      // Samples start once the model has loaded and chunks flow.
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return embedding || passDone; });
    }
    for (int sample = 0; sample < 5; ++sample) {
      {
        std::unique_lock lock(mutex);
        if (changed.wait_for(lock, std::chrono::seconds(4), [&] { return passDone; })) return;
      }
      const auto asked = Wall::now();
      services->fileIndexer()->requestPause();
      std::unique_lock lock(mutex);
      if (!changed.wait_for(lock, std::chrono::seconds(60), [&] { return paused || passDone; }) || passDone) return;
      pauseLatencies.push_back(secondsSince(asked) * 1e3);
      lock.unlock();
      services->fileIndexer()->resume();
    }
  });

  // Peak resident memory from here on: writing the random model above peaked higher.
  std::ofstream("/proc/self/clear_refs") << "5";
  const auto started = Wall::now();
  const double cpuStarted = bench::processCpuSeconds();
  auto summary = await<FileChunkIndexer::PassSummary>(loop, [&](Completion<FileChunkIndexer::PassSummary> done) {
    services->fileIndexer()->runFullPass({folder}, done);
  });
  const double passSeconds = secondsSince(started);
  const double passCpu = bench::processCpuSeconds() - cpuStarted;
  const uint64_t passHighWater = peakResidentBytes();
  {
    std::lock_guard lock(mutex);
    passDone = true;
    changed.notify_all();
  }
  pauser.join();
  sampling = false;
  sampler.join();
  const uint64_t peak = peakSampled;
  services->shutdown();

  const auto after = measureEncoder(model, texts, 200);
  const double encoderRate = (before.first + after.first) / 2, encoderCpuRate = (before.second + after.second) / 2;
  std::printf("encoder alone (batches of 8), chunks/s wall / CPU: %.2f / %.2f before the pass, %.2f / %.2f after\n",
              before.first, before.second, after.first, after.second);

  double pauseTotal = 0;
  for (double ms : pauseLatencies) pauseTotal += ms;
  const double endToEnd = double(summary.chunksAdded) / (passSeconds - pauseTotal / 1e3);
  const double perFileMs = 1e3 * double(summary.chunksAdded) / std::max<int64_t>(1, summary.indexedFiles) / endToEnd;
  std::printf("pass: %lld files indexed, %lld skipped, %lld chunks in %.1f s (%.1f s paused for the pause samples)\n",
              (long long)summary.indexedFiles, (long long)summary.failedFiles, (long long)summary.chunksAdded,
              passSeconds, pauseTotal / 1e3);
  std::printf("threads: %d (compute units all)\n", threadCount(EmbeddingComputeUnits::all));
  const double endToEndCpu = double(summary.chunksAdded) / passCpu;
  std::printf("throughput per wall second: end to end %.2f chunks/s, encoder alone %.2f chunks/s, ratio %.3f\n",
              endToEnd, encoderRate, endToEnd / encoderRate);
  std::printf(
      "throughput per CPU second:  end to end %.2f chunks/s, encoder alone %.2f chunks/s, ratio %.3f "
      "(goal >= 0.85)\n",
      endToEndCpu, encoderCpuRate, endToEndCpu / encoderCpuRate);
  std::printf("peak resident memory during the pass: %.1f MB sampled, %.1f MB VmHWM at its end (goal < 400 MB)\n",
              double(peak) / 1048576.0, double(passHighWater) / 1048576.0);
  if (!pauseLatencies.empty()) {
    std::printf(
        "requestPause -> paused: p50 %.0f ms, max %.0f ms over %zu samples; one file's embedding %.0f ms "
        "(%.1f chunks per file)\n",
        bench::percentile(pauseLatencies, 0.5), bench::percentile(pauseLatencies, 1.0), pauseLatencies.size(),
        perFileMs, double(summary.chunksAdded) / std::max<int64_t>(1, summary.indexedFiles));
  }
  fs::remove_all(work, ec);
  return 0;
}

// MARK: - The 100,000-chunk corpus

std::vector<IndexItem> corpusItems(size_t count) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  const std::string words[] = {"garden", "budget", "meeting", "notes",   "travel",  "invoice", "design", "release",
                               "kernel", "recipe", "report",  "summary", "project", "draft",   "review", "plan"};
  std::vector<IndexItem> items;
  items.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    IndexItem item;
    item.id = fileIdentifier("/home/user/Documents/f" + std::to_string(i / 8)) + "_" + std::to_string(i % 8);
    std::string text;
    while (text.size() < 400) text += words[rng() % 16] + std::string(" ");
    FileChunkMetadata m;
    m.filePath = "/home/user/Documents/project" + std::to_string(i / 800) + "/file" + std::to_string(i / 8) + ".md";
    m.fileName = "file" + std::to_string(i / 8) + ".md";
    m.fileExtension = "md";
    m.fileCategory = "code";
    m.chunkIndex = int64_t(i % 8);
    m.totalChunks = 8;
    m.startOffset = int64_t(i % 8) * 320;
    m.endOffset = m.startOffset + 400;
    m.modifiedDate = 1.7e9 + double(i);
    m.chunkText = text;
    item.text = "[" + m.fileName + " | Markdown document | project | 3 KB | Jan 5, 2024 | Chunk 1/8]\n" + text;
    item.metadata = m.toMap();
    item.embedding.resize(384);
    float norm = 0;
    for (float& x : item.embedding) {
      x = normal(rng);
      norm += x * x;
    }
    for (float& x : item.embedding) x /= std::sqrt(norm);
    items.push_back(std::move(item));
  }
  return items;
}

int runCorpus(size_t count, size_t queries, const std::string& dir, const std::string& computeUnits) {
  const std::string data = dir + "/data-" + std::to_string(count), model = dir + "/model";
  if (!fs::exists(model + "/model.safetensors")) bench::writeRandomBgeSmall(model);
  Logger logger("semantic_bench");
  EmbeddingStoreFiles files(data, FileEmbeddingStore::kIndexName, dir, logger);
  if (!files.hasItemFile() || !files.hasGraphFile()) {
    std::printf("generating %zu chunk records and their graph (cached in %s)...\n", count, data.c_str());
    const auto items = corpusItems(count);
    fs::create_directories(data);
    MMapStore store;
    (void)store.saveIndex(items, dir, "stage");
    if (!files.compressAndMove(dir + "/stage.mmap", files.itemPath()).ok()) return 1;
    HNSWIndex graph;
    graph.reserve(items.size());
    for (const auto& item : items) graph.insert(item.id, item.embedding);
    (void)writeFileAtomically(dir + "/stage.hnsw", graph.serialize());
    if (!files.compressAndMove(dir + "/stage.hnsw", files.graphPath()).ok()) return 1;
    fs::remove(dir + "/stage.mmap");
  }

  // File sizes, and the piecewise stream against one-shot LZFSE.
  const std::string compressed = EmbeddingStoreFiles::compressedPath(files.itemPath());
  const auto lzSize = fs::file_size(compressed);
  (void)lzfse::decodeFile(compressed, dir + "/plain.mmap");
  const auto plainSize = fs::file_size(dir + "/plain.mmap");
  std::string plain = readFileToString(dir + "/plain.mmap").value();
  std::string oneShot(plain.size(), '\0');
  std::vector<uint8_t> scratch(pallix_lzfse_encode_scratch_size() + 1);
  const size_t oneShotSize =
      pallix_lzfse_encode_buffer(reinterpret_cast<uint8_t*>(oneShot.data()), oneShot.size(),
                                 reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), scratch.data());
  plain.clear();
  plain.shrink_to_fit();
  oneShot.clear();
  oneShot.shrink_to_fit();
  fs::remove(dir + "/plain.mmap");
  const auto graphLz = fs::file_size(EmbeddingStoreFiles::compressedPath(files.graphPath()));
  std::printf("item file: %.1f MB plain, %.1f MB LZFSE (ratio %.3f; one-shot LZFSE %.3f); graph %.1f MB LZFSE\n",
              double(plainSize) / 1048576.0, double(lzSize) / 1048576.0, double(lzSize) / double(plainSize),
              double(oneShotSize) / double(plainSize), double(graphLz) / 1048576.0);

  UserDefaults defaults;
  (void)defaults.set(FileEmbeddingStore::kModelVersionKey, 3);
  (void)defaults.set("FilesPreferences.computeUnits", computeUnits);
  SemanticServicesOptions options;
  options.dirs = DataDirectories::forHome(dir);
  options.defaults = &defaults;
  auto factory = std::make_shared<DirectoryEmbeddingModelFactory>(model);
  options.modelFactory = factory;
  options.storeDirectory = data;
  options.temporaryDirectory = dir;
  auto services = SemanticServices::create(std::move(options));
  auto loop = RunLoop::create();
  const auto loadStart = Wall::now();
  const double loadCpuStart = bench::processCpuSeconds();
  (void)await<Status>(loop, [&](Completion<Status> done) { services->fileStore()->initialize(done); });
  const double loadSeconds = secondsSince(loadStart);
  const double loadCpu = bench::processCpuSeconds() - loadCpuStart;
  auto snapshot = await<EmbeddingStoreSnapshot>(loop, [&](auto done) { services->fileStore()->snapshot(done); });
  std::printf(
      "start-up load (metadata only): %lld chunks in %.3f s wall, %.3f s CPU; model loaded: %s "
      "(goal < 1 s, no model)\n",
      (long long)snapshot.chunkCount, loadSeconds, loadCpu, snapshot.modelLoaded ? "yes" : "no");

  const auto readyStart = Wall::now();
  (void)await<Status>(loop, [&](auto done) { services->fileStore()->waitUntilSearchable(done); });
  std::printf("model and graph load on first use: %.2f s\n", secondsSince(readyStart));

  std::vector<FileSearchResult> text;
  for (int i = 0; i < 20; ++i) {
    text.push_back(
        {IndexedItem::file(
             "/home/user/Documents/project" + std::to_string(i) + "/file" + std::to_string(i * 100) + ".md", "file.md",
             "md", 1000, std::nullopt, std::nullopt, IndexedItem::FileCategory::code, std::nullopt),
         0.5f, FileMatchType::substring});
  }
  const std::string words[] = {"quarterly budget review",     "garden notes for spring", "release plan draft",
                               "meeting summary with design", "travel invoice",          "kernel report"};
  std::vector<double> latencies, cpuLatencies;
  for (size_t q = 0; q < queries; ++q) {
    const auto start = Wall::now();
    const double cpuStart = bench::processCpuSeconds();
    auto merged = await<SemanticMergeResult>(loop, [&](Completion<SemanticMergeResult> done) {
      services->bridge().mergeWithTextResults(text, words[q % 6] + std::string(" ") + std::to_string(q), 20, nullptr,
                                              loop, [done](SemanticMergeResult m) { done(std::move(m)); });
    });
    latencies.push_back(secondsSince(start) * 1e3);
    cpuLatencies.push_back((bench::processCpuSeconds() - cpuStart) * 1e3);
    if (merged.results.size() < text.size()) std::printf("unexpected: merge lost results\n");
  }
  std::printf(
      "semantic files query over %lld chunks (embedding + graph + merge), %zu queries: p50 %.1f ms, p95 %.1f ms "
      "(goal p95 < 60 ms); CPU p50 %.1f ms, p95 %.1f ms; compute units %s\n",
      (long long)snapshot.chunkCount, queries, bench::percentile(latencies, 0.5), bench::percentile(latencies, 0.95),
      bench::percentile(cpuLatencies, 0.5), bench::percentile(cpuLatencies, 0.95), computeUnits.c_str());
  std::printf("peak resident memory: %.1f MB\n", double(peakResidentBytes()) / 1048576.0);
  services->shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "index") {
    return runIndex(option(argc, argv, "--docs", "/usr/share/doc"),
                    size_t(std::stoul(option(argc, argv, "--chunks", "2000"))));
  }
  if (mode == "corpus") {
    const std::string dir = option(argc, argv, "--dir", "/tmp/pallix-semantic-bench");
    fs::create_directories(dir);
    return runCorpus(size_t(std::stoul(option(argc, argv, "--chunks", "100000"))),
                     size_t(std::stoul(option(argc, argv, "--queries", "200"))), dir,
                     option(argc, argv, "--compute-units", "all"));
  }
  std::fprintf(stderr,
               "usage: semantic_bench index [--docs DIR] [--chunks N]\n"
               "       semantic_bench corpus [--chunks N] [--queries Q] [--dir DIR]\n");
  return 2;
}
