// multilingual_encoder_bench: the rate of the multilingual model (bge-m3's
// shape: XLM-RoBERTa, 24 layers, 1,024 hidden, 16 heads, 4,096 intermediate,
// 250,002 tokens) against the small one (bge-small-en's shape), both with
// random weights, on the same 400-character chunks of /usr/share/doc. Both
// models get the same token rows (the WordPiece rows of the chunks, with the
// XLM-RoBERTa markers for the large one), so the figures compare the encoders
// at equal token counts. The large model takes about 2.3 GB while it runs.
//
// Usage: multilingual_encoder_bench [--chunks N] [--threads T]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "SimilaritySearchKit/BertTokenizer.h"
#include "SimilaritySearchKit/SentencePieceTokenizer.h"
#include "SimilaritySearchKit/TransformerEncoder.h"
#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "bench/support/RandomBgeSmall.h"
#include "core/FileUtil.h"

using namespace pallix;
namespace fs = std::filesystem;

namespace {

TransformerConfig bgeM3Shape() {
  TransformerConfig c;
  c.modelType = "xlm-roberta";
  c.vocabSize = 250002;
  c.hiddenSize = 1024;
  c.numHiddenLayers = 24;
  c.numAttentionHeads = 16;
  c.intermediateSize = 4096;
  c.maxPositionEmbeddings = 8194;
  c.typeVocabSize = 1;
  c.layerNormEps = 1e-5f;
  c.padTokenId = 1;
  return c;
}

// 400-character chunks (cut at a space) of the plain-text files under /usr/share/doc.
std::vector<std::string> realTextChunks(size_t count) {
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it("/usr/share/doc", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code e;
    if (!it->is_regular_file(e)) continue;
    const std::string name = it->path().filename().string();
    if (name == "copyright" || name.rfind("README", 0) == 0) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> chunks;
  for (const auto& file : files) {
    auto text = readFileToString(file);
    if (!text.ok()) continue;
    std::string t = text.value();
    std::replace_if(
        t.begin(), t.end(), [](char ch) { return ch == '\n' || ch == '\t'; }, ' ');
    for (size_t pos = 0; pos + 400 <= t.size() && chunks.size() < count;) {
      size_t end = t.rfind(' ', pos + 400);
      if (end == std::string::npos || end <= pos + 200) end = pos + 400;
      chunks.push_back(t.substr(pos, end - pos));
      pos = end + 1;
    }
    if (chunks.size() >= count) break;
  }
  return chunks;
}

// CPU time of the whole process (all threads), in milliseconds: on a shared
// machine this is steadier than wall-clock time.
double cpuMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Rate {
  double wallPerChunk = 0, cpuPerChunk = 0;
};

Rate measure(const TransformerEncoder& encoder, const std::vector<EncoderInput>& inputs) {
  (void)encoder.encode({inputs[0]});  // warm-up
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = cpuMilliseconds();
  for (size_t i = 0; i < inputs.size(); i += 8) {
    std::vector<EncoderInput> batch(inputs.begin() + static_cast<std::ptrdiff_t>(i),
                                    inputs.begin() + static_cast<std::ptrdiff_t>(std::min(i + 8, inputs.size())));
    (void)encoder.encode(batch);
  }
  const double n = static_cast<double>(inputs.size());
  return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / n,
          (cpuMilliseconds() - cpuStart) / n};
}

std::unique_ptr<TransformerEncoder> randomEncoder(const TransformerConfig& config) {
  // Half-precision bytes keep the peak memory of the large model down; the
  // encoder computes in single precision either way.
  std::string bytes = SafetensorsFile::serialize(bench::randomWeights(config), TensorDType::f16);
  auto weights = SafetensorsFile::parse(std::move(bytes));
  if (!weights.ok()) return nullptr;
  auto encoder = TransformerEncoder::fromParts(config, weights.value());
  if (!encoder.ok()) {
    std::fprintf(stderr, "%s\n", encoder.error().description().c_str());
    return nullptr;
  }
  return std::move(encoder).value();
}

}  // namespace

int main(int argc, char** argv) {
  size_t chunkCount = 16;
  int threads = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--chunks")) chunkCount = static_cast<size_t>(std::max(1, std::atoi(argv[i + 1])));
    if (!std::strcmp(argv[i], "--threads")) threads = std::max(1, std::atoi(argv[i + 1]));
  }
  auto vocabPath = bundledVocabularyPath();
  if (!vocabPath.ok()) {
    std::fprintf(stderr, "%s\n", vocabPath.error().description().c_str());
    return 1;
  }
  auto tokenizer = BertTokenizer::load(vocabPath.value());
  if (!tokenizer.ok()) return 1;
  const auto chunks = realTextChunks(chunkCount);
  if (chunks.empty()) {
    std::fprintf(stderr, "no text under /usr/share/doc\n");
    return 1;
  }
  std::vector<EncoderInput> small, large;
  size_t tokens = 0;
  for (const auto& chunk : chunks) {
    ModelInputs row = tokenizer->buildModelInputs(tokenizer->buildModelTokens(chunk));
    const auto length = static_cast<size_t>(std::count(row.attentionMask.begin(), row.attentionMask.end(), 1));
    tokens += length;
    std::vector<int32_t> ids(row.inputIds.begin(), row.inputIds.begin() + static_cast<std::ptrdiff_t>(length));
    small.push_back({ids, std::vector<int32_t>(length, 1)});
    ids.front() = SentencePieceTokenizer::kBosId;
    ids.back() = SentencePieceTokenizer::kEosId;
    large.push_back({ids, std::vector<int32_t>(length, 1)});
  }
  std::printf("chunks: %zu of ~400 characters, %.1f tokens each; batches of 8; %d BLAS threads\n", chunks.size(),
              static_cast<double>(tokens) / static_cast<double>(chunks.size()), threads);
  TransformerEncoder::setBlasThreadCount(threads);

  Rate smallRate, largeRate;
  size_t smallParameters = 0, largeParameters = 0;
  {
    auto encoder = randomEncoder(bench::bgeSmallShape());
    if (!encoder) return 1;
    smallParameters = encoder->parameterCount();
    smallRate = measure(*encoder, small);
  }
  {
    auto encoder = randomEncoder(bgeM3Shape());
    if (!encoder) return 1;
    largeParameters = encoder->parameterCount();
    largeRate = measure(*encoder, large);
  }
  std::printf("%-44s %12s %10s %10s %12s\n", "model (random weights)", "parameters", "wall ms", "cpu ms", "chunks/s");
  std::printf("%-44s %12zu %10.2f %10.2f %12.2f\n", "bge-small shape (12 x 384, BERT)", smallParameters,
              smallRate.wallPerChunk, smallRate.cpuPerChunk, 1000.0 / smallRate.wallPerChunk);
  std::printf("%-44s %12zu %10.2f %10.2f %12.2f\n", "bge-m3 shape (24 x 1024, XLM-RoBERTa)", largeParameters,
              largeRate.wallPerChunk, largeRate.cpuPerChunk, 1000.0 / largeRate.wallPerChunk);
  std::printf("bge-m3 takes %.1fx the cpu time of bge-small per chunk\n",
              largeRate.cpuPerChunk / smallRate.cpuPerChunk);
  return 0;
}
