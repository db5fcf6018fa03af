// messages_semantic_bench: the message chunk indexer and the semantic
// conversation search against their goals, on the generated 200,000-message
// database, with a random-weight model of bge-small's shape (12 layers, 384
// hidden, 30,522 tokens) and the encoder threads of the compute units "all".
//
//   messages_semantic_bench index [--chunks N] [--db PATH] [--vcf PATH]
//     One catch-up pass at intensity maximum with no pause between batches,
//     stopped once N chunks (default 1,000) are stored: chunks per second end
//     to end (reading, chunking, lease, embedding, graph insertion) next to
//     the encoder's own rate on the same chunk texts in the same run (goal
//     ratio at least 0.85), and peak resident memory of the pass.
//   messages_semantic_bench search [--chunks N] [--queries Q] [--db PATH]
//     A store of N chunks (default 20,000: the window's chunks, repeated
//     under new identifiers when there are fewer) with random unit vectors and
//     the chunks' real metadata, then searchSemanticConversations (query
//     embedding, graph search, selection, hydration from the database) p50
//     and p95 with the model loaded (goal p95 under 100 ms).
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "SimilaritySearchKit/HNSWIndex.h"
#include "SimilaritySearchKit/TransformerEncoder.h"
#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "app/messages/MessagesComponents.h"
#include "app/platform/VCardContactStore.h"
#include "app/semantic/SemanticServices.h"
#include "bench/support/BenchStats.h"
#include "bench/support/RandomBgeSmall.h"
#include "core/FileUtil.h"
#include "core/RunLoop.h"
#include "core/UUID.h"

using namespace pallix;
namespace fs = std::filesystem;
using Wall = std::chrono::steady_clock;

namespace {

double secondsSince(Wall::time_point start) {
  return std::chrono::duration<double>(Wall::now() - start).count();
}
std::string option(int argc, char** argv, const char* name, const std::string& fallback) {
  for (int i = 2; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], name)) return argv[i + 1];
  }
  return fallback;
}
uint64_t procStatusBytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stoull(line.substr(std::strlen(key))) * 1024;
  }
  return 0;
}
// Resets the peak resident size (VmHWM) to the current one.
void resetPeakResident() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

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

// The bench's world: the database, its contacts, a data folder, the model.
struct World {
  std::string work, model, data;
  ManualClock clock;
  UserDefaults defaults;
  MessagesComponents messages;

  World(const std::string& db, const std::string& vcf, double now) {
    work = (fs::temp_directory_path() / ("pallix-messages-bench-" + UUID::random().string())).string();
    model = work + "/model";
    data = work + "/data";
    fs::create_directories(work + "/Contacts");
    fs::copy_file(vcf, work + "/Contacts/contacts.vcf");
    bench::writeRandomBgeSmall(model);
    clock.setWallNow(dateFromSecondsSince1970(now));
    (void)defaults.set(FullDiskAccessController::kDatabasePathKey, db);
    (void)defaults.set("MessagesPreferences.computeUnits", "all");
    messages = MessagesComponents::create(DataDirectories::forHome(work), &defaults, clock,
                                          std::make_shared<VCardContactStore>(work + "/Contacts"));
  }
  ~World() {
    std::error_code ec;
    fs::remove_all(work, ec);
  }
  std::unique_ptr<SemanticServices> services() {
    SemanticServicesOptions options;
    options.dirs = DataDirectories::forHome(work);
    options.defaults = &defaults;
    options.modelFactory = std::make_shared<DirectoryEmbeddingModelFactory>(model);
    options.storeDirectory = data;
    options.temporaryDirectory = work;
    return SemanticServices::create(std::move(options));
  }
  std::vector<MessageChunkRecord> windowChunks() {
    auto collected = messages.collectChunks(clock);
    return collected.ok() ? std::move(collected->chunks) : std::vector<MessageChunkRecord>{};
  }
};

int runIndex(World& world, size_t target) {
  const auto records = world.windowChunks();
  std::printf("window: %zu chunks; indexing the first %zu\n", records.size(), std::min(target, records.size()));
  target = std::min(target, records.size());
  auto services = world.services();
  auto loop = RunLoop::create();
  auto executor = SerialExecutor::create("bench-msgindex", world.clock);
  MessageChunkIndexer::Dependencies deps;
  deps.runner = executor;
  deps.store = embeddingChunkStore(services->messageStore());
  deps.reader = world.messages.historyReader;
  deps.contacts = world.messages.contacts;
  deps.coordinator = EmbeddingCoordinator::create(SerialExecutor::create("bench-lease"));
  deps.defaults = &world.defaults;
  deps.tuning.batchPauseOverride = Duration::zero();
  auto indexer = MessageChunkIndexer::create(std::move(deps));
  indexer->setIndexingIntensity(IndexingIntensity::maximum);
  (void)await<Status>(loop, [&](Completion<Status> done) { services->messageStore()->ensureModelLoaded(done); });

  resetPeakResident();
  uint64_t sampledPeak = 0;
  const auto start = Wall::now();
  const double cpuStart = bench::processCpuSeconds();
  double seconds = 0, cpu = 0;
  int64_t stored = 0;
  indexer->setProgressObserver(Completion<MessageChunkIndexer::Progress>(loop, [&](MessageChunkIndexer::Progress p) {
    sampledPeak = std::max(sampledPeak, procStatusBytes("VmRSS:"));
    if (p.indexedChunks < int64_t(target) || seconds > 0) return;
    seconds = secondsSince(start);
    cpu = bench::processCpuSeconds() - cpuStart;
    stored = p.indexedChunks;
    indexer->stopIndexing();
    loop->quit();
  }));
  indexer->runScheduledCatchUpPass(Completion<bool>(loop, [&](bool) { loop->quit(); }));
  loop->run();
  if (seconds == 0) {
    seconds = secondsSince(start);
    cpu = bench::processCpuSeconds() - cpuStart;
  }
  const uint64_t peak = procStatusBytes("VmHWM:");
  executor->shutdown();

  // The encoder alone on the same texts, in the store's batches of 8.
  auto encoder = BGESmallEmbeddings::createFromDirectory(EmbeddingComputeUnits::all, world.model);
  std::vector<std::string> texts;
  for (size_t i = 0; i < size_t(stored) && i < records.size(); ++i) texts.push_back(records[i].text);
  (void)encoder.value()->encodeBatch({texts.front()});
  const auto encStart = Wall::now();
  const double encCpuStart = bench::processCpuSeconds();
  for (size_t i = 0; i < texts.size(); i += EmbeddingStore::kEmbeddingBatchSize) {
    std::vector<std::string> batch(
        texts.begin() + ptrdiff_t(i),
        texts.begin() + ptrdiff_t(std::min(texts.size(), i + EmbeddingStore::kEmbeddingBatchSize)));
    (void)encoder.value()->encodeBatch(batch);
  }
  const double encSeconds = secondsSince(encStart), encCpu = bench::processCpuSeconds() - encCpuStart;
  const double rate = double(stored) / seconds, encRate = double(texts.size()) / encSeconds;
  std::printf("indexer end to end: %lld chunks in %.2f s wall (%.2f s CPU): %.2f chunks/s\n", (long long)stored,
              seconds, cpu, rate);
  std::printf("encoder alone:      %zu chunks in %.2f s wall (%.2f s CPU): %.2f chunks/s\n", texts.size(), encSeconds,
              encCpu, encRate);
  std::printf("ratio per wall second %.3f, per CPU second %.3f (goal >= 0.85)\n", rate / encRate,
              (double(stored) / cpu) / (double(texts.size()) / encCpu));
  std::printf("peak resident memory during the pass: %.1f MB VmHWM, %.1f MB sampled\n", double(peak) / 1048576.0,
              double(sampledPeak) / 1048576.0);
  services->shutdown();
  return 0;
}

int runSearch(World& world, size_t count, size_t queries) {
  auto records = world.windowChunks();
  if (records.empty()) return std::fprintf(stderr, "no chunks in the window\n"), 1;
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<IndexItem> items;
  for (size_t i = 0; i < count; ++i) {
    const MessageChunkRecord& r = records[i % records.size()];
    IndexItem item;
    item.id = r.identifier + (i < records.size() ? "" : "#" + std::to_string(i / records.size()));
    item.text = r.text;
    item.metadata = r.metadata.toMap();
    item.embedding.resize(384);
    float norm = 0;
    for (float& x : item.embedding) {
      x = normal(rng);
      norm += x * x;
    }
    for (float& x : item.embedding) x /= std::sqrt(norm);
    items.push_back(std::move(item));
  }
  Logger logger("messages_semantic_bench");
  EmbeddingStoreFiles files(world.data, MessageEmbeddingStore::kIndexName, world.work, logger);
  fs::create_directories(world.data);
  MMapStore store;
  (void)store.saveIndex(items, world.work, "stage");
  if (!files.compressAndMove(world.work + "/stage.mmap", files.itemPath()).ok()) return 1;
  HNSWIndex graph;
  graph.reserve(items.size());
  for (const auto& item : items) graph.insert(item.id, item.embedding);
  (void)writeFileAtomically(world.work + "/stage.hnsw", graph.serialize());
  if (!files.compressAndMove(world.work + "/stage.hnsw", files.graphPath()).ok()) return 1;
  (void)world.defaults.set(MessageEmbeddingStore::kModelVersionKey, 3);
  std::printf("store: %zu chunks (%zu distinct in the window)\n", items.size(), records.size());

  auto services = world.services();
  auto loop = RunLoop::create();
  auto messageStore = services->messageStore();
  (void)await<Status>(loop, [&](Completion<Status> done) { messageStore->initialize(done); });
  (void)await<Status>(loop, [&](Completion<Status> done) { messageStore->waitUntilSearchable(done); });
  world.messages.attachEmbeddingStore(messageStore);
  MessageSearchService& service = *world.messages.searchService;
  const char* words[] = {"dinner plans",   "the contract", "flight tomorrow", "kids pick up",
                         "wedding photos", "invoice",      "pizza tonight",   "meeting notes"};
  (void)service.searchSemanticConversations("warm up", 10);
  std::vector<double> wall, cpu;
  std::map<std::string, size_t> methods;
  size_t conversations = 0, messagesShown = 0;
  for (size_t q = 0; q < queries; ++q) {
    const auto start = Wall::now();
    const double cpuStart = bench::processCpuSeconds();
    auto results = service.searchSemanticConversations(words[q % 8] + std::string(" ") + std::to_string(q), 10);
    wall.push_back(secondsSince(start) * 1e3);
    cpu.push_back((bench::processCpuSeconds() - cpuStart) * 1e3);
    conversations += results.size();
    for (const auto& r : results) {
      ++methods[r.fallbackMethod];
      messagesShown += r.messages.size();
    }
  }
  std::printf(
      "semantic conversation search over %zu chunks, limit 10, %zu queries: p50 %.1f ms, p95 %.1f ms wall "
      "(goal p95 < 100 ms); CPU p50 %.1f ms, p95 %.1f ms\n",
      items.size(), queries, bench::percentile(wall, 0.5), bench::percentile(wall, 0.95), bench::percentile(cpu, 0.5),
      bench::percentile(cpu, 0.95));
  std::printf("per query: %.1f conversations, %.1f messages hydrated;", double(conversations) / double(queries),
              double(messagesShown) / double(queries));
  for (const auto& [method, n] : methods) std::printf(" %s %zu", method.c_str(), n);
  std::printf("\npeak resident memory: %.1f MB\n", double(procStatusBytes("VmHWM:")) / 1048576.0);
  services->shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  Logger::setThreshold(LogLevel::off);
  World world(option(argc, argv, "--db", MESSAGES_BENCH_DB), option(argc, argv, "--vcf", MESSAGES_BENCH_VCF),
              std::stod(option(argc, argv, "--now", std::to_string(MESSAGES_BENCH_NOW))));
  if (mode == "index") return runIndex(world, size_t(std::stoul(option(argc, argv, "--chunks", "1000"))));
  if (mode == "search") {
    return runSearch(world, size_t(std::stoul(option(argc, argv, "--chunks", "20000"))),
                     size_t(std::stoul(option(argc, argv, "--queries", "100"))));
  }
  std::fprintf(stderr,
               "usage: messages_semantic_bench index [--chunks N]\n"
               "       messages_semantic_bench search [--chunks N] [--queries Q]\n");
  return 2;
}
