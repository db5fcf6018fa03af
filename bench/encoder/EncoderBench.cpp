// encoder_bench: milliseconds per 400-character chunk for the CPU encoder
// runtime on a random-weight model of bge-small-en's shape (12 layers, 384
// hidden, 12 heads, 1,536 intermediate, 30,522 tokens), on chunks of real text
// from /usr/share/doc. Compares computing only the real tokens (one chunk at a
// time and in batches) with computing all 512 padded positions.
//
// Usage: encoder_bench [--chunks N] [--threads T] [--write-model DIR] [--write-chunks FILE]
//                      [--write-embeddings FILE]
//   --write-model writes the random model (config.json, model.safetensors,
//   vocab.txt) for the ONNX Runtime and PyTorch comparisons in this folder;
//   --write-chunks writes the chunks' token rows as JSON for them;
//   --write-embeddings writes the embeddings of the first 4 chunks (torch_bench.py --check).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "SimilaritySearchKit/BertTokenizer.h"
#include "SimilaritySearchKit/TransformerEncoder.h"
#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "bench/support/RandomBgeSmall.h"
#include "core/FileUtil.h"

using namespace pallix;
namespace fs = std::filesystem;

namespace {

// 400-character chunks (cut at a space) of the plain-text files under /usr/share/doc.
std::vector<std::string> realTextChunks(size_t count) {
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it("/usr/share/doc", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e;
    if (!it->is_regular_file(e)) continue;
    std::string name = it->path().filename().string();
    if (name == "copyright" || name.rfind("README", 0) == 0 || name.rfind("NEWS", 0) == 0) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> chunks;
  for (const auto& file : files) {
    auto text = readFileToString(file);
    if (!text.ok()) continue;
    std::string t;
    for (char ch : text.value()) t += (ch == '\n' || ch == '\t') ? ' ' : ch;
    size_t pos = 0;
    while (pos + 400 <= t.size() && chunks.size() < count) {
      size_t end = t.rfind(' ', pos + 400);
      if (end == std::string::npos || end <= pos + 200) end = pos + 400;
      chunks.push_back(t.substr(pos, end - pos));
      pos = end + 1;
    }
    if (chunks.size() >= count) break;
  }
  return chunks;
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the whole process (all threads), in milliseconds: on a shared,
// overloaded machine this is steadier than wall-clock time.
double cpuMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Wall and CPU milliseconds per item of `run`, which handles `items` items.
template <typename F>
std::pair<double, double> timePerItem(size_t items, F&& run) {
  auto start = std::chrono::steady_clock::now();
  double cpuStart = cpuMilliseconds();
  run();
  double wall = millisecondsSince(start) / static_cast<double>(items);
  double cpu = (cpuMilliseconds() - cpuStart) / static_cast<double>(items);
  return {wall, cpu};
}

}  // namespace

int main(int argc, char** argv) {
  size_t chunkCount = 48;
  std::vector<int> threadCounts{1, 2};
  std::string writeModel, writeChunks, writeEmbeddings;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--chunks")) chunkCount = static_cast<size_t>(std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--threads")) threadCounts = {std::atoi(argv[i + 1])};
    if (!std::strcmp(argv[i], "--write-model")) writeModel = argv[i + 1];
    if (!std::strcmp(argv[i], "--write-chunks")) writeChunks = argv[i + 1];
    if (!std::strcmp(argv[i], "--write-embeddings")) writeEmbeddings = argv[i + 1];
  }

  auto vocabPath = bundledVocabularyPath();
  if (!vocabPath.ok()) {
    std::fprintf(stderr, "%s\n", vocabPath.error().description().c_str());
    return 1;
  }
  auto tokenizer = BertTokenizer::load(vocabPath.value());
  if (!tokenizer.ok()) return 1;

  const TransformerConfig config = bench::bgeSmallShape();
  const std::string bytes = SafetensorsFile::serialize(bench::randomWeights(config));
  if (!writeModel.empty()) {
    fs::create_directories(writeModel);
    (void)writeFileAtomically(writeModel + "/config.json", config.toJson());
    (void)writeFileAtomically(writeModel + "/model.safetensors", bytes);
    fs::copy_file(vocabPath.value(), writeModel + "/vocab.txt", fs::copy_options::overwrite_existing);
  }
  auto weights = SafetensorsFile::parse(bytes);
  auto encoder = TransformerEncoder::fromParts(config, weights.value());
  if (!encoder.ok()) {
    std::fprintf(stderr, "%s\n", encoder.error().description().c_str());
    return 1;
  }

  auto chunks = realTextChunks(chunkCount);
  std::vector<EncoderInput> inputs;
  size_t realTokens = 0;
  for (const auto& chunk : chunks) {
    ModelInputs row = tokenizer->buildModelInputs(tokenizer->buildModelTokens(chunk));
    realTokens += static_cast<size_t>(std::count(row.attentionMask.begin(), row.attentionMask.end(), 1));
    inputs.push_back({row.inputIds, row.attentionMask});
  }
  if (!writeChunks.empty()) {
    nlohmann::json rows = nlohmann::json::array();
    for (const auto& in : inputs) rows.push_back({{"input_ids", in.inputIds}, {"attention_mask", in.attentionMask}});
    (void)writeFileAtomically(writeChunks, rows.dump());
  }
  if (!writeEmbeddings.empty()) {
    std::vector<EncoderInput> first(inputs.begin(),
                                    inputs.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, inputs.size())));
    auto out = encoder.value()->encode(first);
    nlohmann::json embeddings = nlohmann::json::array();
    if (out.ok()) {
      for (const auto& o : out.value()) embeddings.push_back(o.embedding);
    }
    (void)writeFileAtomically(writeEmbeddings, embeddings.dump());
  }
  std::printf("model: random weights, 12 layers, hidden 384, 12 heads, intermediate 1536, %zu parameters\n",
              encoder.value()->parameterCount());
  std::printf("chunks: %zu of ~400 characters from /usr/share/doc, %.1f real tokens each on average (of 512)\n",
              inputs.size(), static_cast<double>(realTokens) / static_cast<double>(inputs.size()));

  for (int threads : threadCounts) {
    TransformerEncoder::setBlasThreadCount(threads);
    (void)encoder.value()->encode({inputs[0]});  // warm-up
    auto single = timePerItem(inputs.size(), [&] {
      for (const auto& in : inputs) (void)encoder.value()->encode({in});
    });
    auto batched = timePerItem(inputs.size(), [&] {
      for (size_t i = 0; i < inputs.size(); i += 8) {
        std::vector<EncoderInput> batch(inputs.begin() + static_cast<std::ptrdiff_t>(i),
                                        inputs.begin() + static_cast<std::ptrdiff_t>(std::min(i + 8, inputs.size())));
        (void)encoder.value()->encode(batch);
      }
    });
    EncodeOptions all;
    all.computeAll = true;
    const size_t fullCount = std::min<size_t>(inputs.size(), 8);
    auto full = timePerItem(fullCount, [&] {
      for (size_t i = 0; i < fullCount; ++i) (void)encoder.value()->encode({inputs[i]}, all);
    });
    std::printf("threads %d (ms per chunk, wall / cpu):\n", threads);
    std::printf("  real tokens only, one chunk per call  %8.2f / %8.2f\n", single.first, single.second);
    std::printf("  real tokens only, batches of 8        %8.2f / %8.2f\n", batched.first, batched.second);
    std::printf("  all 512 positions, one chunk per call %8.2f / %8.2f  (%.1fx the cpu time of real tokens only)\n",
                full.first, full.second, full.second / single.second);
  }
  return 0;
}
