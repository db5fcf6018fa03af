#include "app/semantic/EmbeddingModelFactory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "SimilaritySearchKit/TransformerConfig.h"
#include "SimilaritySearchKitBGESmall/BGEM3Embeddings.h"
#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "core/ContentDigest.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

// The BGE wrapper behind the batch interface.
class BGESmallProvider final : public BatchEmbeddingProvider {
 public:
  explicit BGESmallProvider(std::unique_ptr<BGESmallEmbeddings> model) : model_(std::move(model)) {}
  // One text is a query (or the probe): a handful of tokens, which one BLAS
  // thread embeds sooner than several that must synchronise, above all on a
  // busy machine. Batches use the compute units' threads.
  Result<std::vector<float>> encode(const std::string& text) override {
    const BertTokenizer& tokenizer = model_->tokenizer();
    ModelInputs row = tokenizer.buildModelInputs(tokenizer.buildModelTokens(text));
    TransformerEncoder::setBlasThreadCount(1);
    auto outputs = model_->model().encode({EncoderInput{std::move(row.inputIds), std::move(row.attentionMask)}});
    if (!outputs.ok()) return outputs.error();
    return std::move(outputs.value().front().embedding);
  }
  Result<std::vector<std::vector<float>>> encodeBatch(const std::vector<std::string>& texts) override {
    if (texts.empty()) return std::vector<std::vector<float>>{};
    return model_->encodeBatch(texts);
  }
  int dimension() const override { return model_->dimension(); }

 private:
  std::unique_ptr<BGESmallEmbeddings> model_;
};

// The multilingual wrapper behind the batch interface; one text (a query) on one thread.
class BGEM3Provider final : public BatchEmbeddingProvider {
 public:
  explicit BGEM3Provider(std::unique_ptr<BGEM3Embeddings> model) : model_(std::move(model)) {}
  Result<std::vector<float>> encode(const std::string& text) override { return model_->encodeQuery(text); }
  Result<std::vector<std::vector<float>>> encodeBatch(const std::vector<std::string>& texts) override {
    if (texts.empty()) return std::vector<std::vector<float>>{};
    return model_->encodeBatch(texts);
  }
  int dimension() const override { return model_->dimension(); }

 private:
  std::unique_ptr<BGEM3Embeddings> model_;
};

// Reads `length` bytes at `offset` (fewer at the end of the file).
Result<std::string> readAt(int fd, const std::string& path, uint64_t offset, std::size_t length) {
  std::string out(length, '\0');
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out.data() + done, length - done, off_t(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno("Cannot read " + path, errno);
    }
    if (n == 0) break;
    done += std::size_t(n);
  }
  out.resize(done);
  return out;
}

// The weights' size, safetensors header and samples, fed to `digest`.
Status digestWeights(const std::string& path, Sha256& digest) {
  constexpr std::size_t kSample = 64 * 1024;
  constexpr uint64_t kSamples = 8;
  constexpr uint64_t kHeaderLimit = 16 * 1024 * 1024;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::fromErrno("Cannot open " + path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Error::fromErrno("Cannot examine " + path, err);
  }
  const uint64_t size = uint64_t(st.st_size);
  digest.update("weights " + std::to_string(size) + "\n");
  Status status = okStatus();
  auto feed = [&](uint64_t offset, std::size_t length) {
    if (!status.ok()) return;
    auto bytes = readAt(fd, path, offset, length);
    if (!bytes.ok()) {
      status = bytes.error();
      return;
    }
    digest.update(bytes.value());
  };
  auto lengthBytes = readAt(fd, path, 0, 8);
  if (lengthBytes.ok() && lengthBytes->size() == 8) {
    uint64_t headerLength = 0;
    for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | static_cast<unsigned char>((*lengthBytes)[i]);
    feed(0, std::size_t(8 + std::min(headerLength, kHeaderLimit)));
  } else if (!lengthBytes.ok()) {
    status = lengthBytes.error();
  }
  // Samples at evenly spaced offsets, the last ending at the end of the file.
  for (uint64_t k = 0; k < kSamples && size > 0; ++k) {
    const uint64_t span = size > kSample ? size - kSample : 0;
    feed(span * k / (kSamples - 1), kSample);
  }
  ::close(fd);
  return status;
}

// Dimension plus a digest of the configuration, the tokenizer's file and the
// weights' size, header and samples.
Result<std::optional<ModelIdentity>> modelIdentity(const std::string& directory, const std::string& tokenizerFile) {
  const std::string configPath = directory + "/config.json";
  PALLIX_ASSIGN_OR_RETURN(std::string configText, readFileToString(configPath));
  PALLIX_ASSIGN_OR_RETURN(TransformerConfig config, TransformerConfig::fromJson(configText));
  Sha256 digest;
  digest.update("config " + std::to_string(configText.size()) + "\n");
  digest.update(configText);
  if (auto vocab = readFileToString(directory + "/" + tokenizerFile); vocab.ok()) {
    digest.update("vocab " + std::to_string(vocab->size()) + "\n");
    digest.update(vocab.value());
  }
  PALLIX_RETURN_IF_ERROR(digestWeights(directory + "/model.safetensors", digest));
  return std::optional<ModelIdentity>(ModelIdentity{config.hiddenSize, digest.finishHex()});
}

}  // namespace

std::string ModelIdentity::describe() const {
  return "dimension " + std::to_string(dimension) + ", digest " + digest.substr(0, 12);
}

Result<std::vector<std::vector<float>>> BatchEmbeddingProvider::encodeBatch(const std::vector<std::string>& texts) {
  std::vector<std::vector<float>> out;
  out.reserve(texts.size());
  for (const auto& text : texts) {
    PALLIX_ASSIGN_OR_RETURN(auto embedding, encode(text));
    out.push_back(std::move(embedding));
  }
  return out;
}

std::shared_ptr<DirectoryEmbeddingModelFactory> DirectoryEmbeddingModelFactory::installed(const DataDirectories& dirs) {
  return std::make_shared<DirectoryEmbeddingModelFactory>(BGESmallEmbeddings::installedModelDirectory(dirs));
}

bool DirectoryEmbeddingModelFactory::isInstalled() const {
  return fileExists(modelDirectory_ + "/config.json") && fileExists(modelDirectory_ + "/model.safetensors");
}

std::string DirectoryEmbeddingModelFactory::unavailableMessage() const {
  return "semantic search is unavailable: no embedding model is installed at " + modelDirectory_ +
         ". Install a bge-small-en model directory (config.json, model.safetensors, vocab.txt) with "
         "`pallix model install DIR`.";
}

Result<std::shared_ptr<BatchEmbeddingProvider>> DirectoryEmbeddingModelFactory::load(
    EmbeddingComputeUnits computeUnits) {
  auto model = BGESmallEmbeddings::createFromDirectory(computeUnits, modelDirectory_);
  if (!model.ok()) return model.error();
  return std::shared_ptr<BatchEmbeddingProvider>(std::make_shared<BGESmallProvider>(std::move(model).value()));
}

std::shared_ptr<MultilingualEmbeddingModelFactory> MultilingualEmbeddingModelFactory::installed(
    const DataDirectories& dirs) {
  return std::make_shared<MultilingualEmbeddingModelFactory>(BGEM3Embeddings::installedPackageDirectory(dirs));
}

bool MultilingualEmbeddingModelFactory::isInstalled() const {
  return fileExists(packageDirectory_ + "/config.json") && fileExists(packageDirectory_ + "/model.safetensors") &&
         fileExists(packageDirectory_ + "/" + BGEM3Embeddings::kTokenizerFile);
}

std::string MultilingualEmbeddingModelFactory::unavailableMessage() const {
  return "semantic search is unavailable: the selected model bge-m3 is not downloaded at " + packageDirectory_ +
         ". Download it with `pallix model download bge-m3`, or go back to the small model with "
         "`pallix model use bge-small`.";
}

Result<std::shared_ptr<BatchEmbeddingProvider>> MultilingualEmbeddingModelFactory::load(
    EmbeddingComputeUnits computeUnits) {
  auto model = BGEM3Embeddings::loadPackage(computeUnits, packageDirectory_);
  if (!model.ok()) return model.error();
  return std::shared_ptr<BatchEmbeddingProvider>(std::make_shared<BGEM3Provider>(std::move(model).value()));
}

std::shared_ptr<EmbeddingModelFactory> installedEmbeddingModelFactory(const DataDirectories& dirs,
                                                                      EmbeddingModel model) {
  if (model == EmbeddingModel::bgeM3) return MultilingualEmbeddingModelFactory::installed(dirs);
  return DirectoryEmbeddingModelFactory::installed(dirs);
}

Result<std::optional<ModelIdentity>> DirectoryEmbeddingModelFactory::identity() const {
  return modelIdentity(modelDirectory_, "vocab.txt");
}

Result<std::optional<ModelIdentity>> MultilingualEmbeddingModelFactory::identity() const {
  return modelIdentity(packageDirectory_, BGEM3Embeddings::kTokenizerFile);
}

}  // namespace pallix
