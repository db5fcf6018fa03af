#include "SimilaritySearchKitBGESmall/InstalledModelStore.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "SimilaritySearchKit/TransformerConfig.h"
#include "SimilaritySearchKitBGESmall/BGEM3Embeddings.h"
#include "SimilaritySearchKitBGESmall/BGESmallEmbeddings.h"
#include "core/FileUtil.h"
#include "core/UUID.h"

namespace fs = std::filesystem;

namespace pallix {
namespace {

constexpr const char* kDomain = "InstalledModelStoreError";

bool validName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos && name.size() < 200;
}

uint64_t directorySize(const std::string& path) {
  uint64_t total = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) {
      auto size = it->file_size(sizeError);
      if (!sizeError) total += size;
    }
  }
  return total;
}

std::string temporaryName(const std::string& stem) {
  return "." + stem + "-" + UUID::random().string();
}

}  // namespace

const std::vector<std::string>& InstalledModelStore::modelFiles() {
  static const std::vector<std::string> files{"config.json", "model.safetensors", "vocab.txt"};
  return files;
}

Status InstalledModelStore::validateModelDirectory(const std::string& directory) {
  // The downloaded multilingual package carries a SentencePiece tokenizer.
  std::unique_ptr<EmbeddingProvider> model;
  if (fileExists(directory + "/" + BGEM3Embeddings::kTokenizerFile)) {
    auto multilingual = BGEM3Embeddings::loadPackage(EmbeddingComputeUnits::all, directory);
    if (!multilingual.ok()) return multilingual.error();
    model = std::move(multilingual).value();
  } else {
    auto small = BGESmallEmbeddings::loadDirectory(EmbeddingComputeUnits::all, directory);
    if (!small.ok()) return small.error();
    model = std::move(small).value();
  }
  auto embedding = model->encode("Test sentence");
  if (!embedding.ok()) return embedding.error();
  for (float v : embedding.value()) {
    if (!std::isfinite(v)) return Error(kDomain, 2, "the model produces non-finite values for a test sentence");
  }
  return okStatus();
}

Result<InstalledModel> InstalledModelStore::install(const std::string& sourceDirectory, const std::string& name) {
  if (!validName(name)) return Error(kDomain, 1, "invalid model name \"" + name + "\"");
  std::error_code ec;
  if (!fs::is_directory(sourceDirectory, ec)) {
    return Error(kDomain, 1, "\"" + sourceDirectory + "\" is not a directory");
  }
  Status valid = validateModelDirectory(sourceDirectory);
  if (!valid.ok()) return valid.error().withContext("\"" + sourceDirectory + "\" is not a usable model");

  if (Status created = createDirectories(modelsDirectory_); !created.ok()) {
    return Error(kDomain, 3, created.error().description());
  }
  const fs::path staging = fs::path(modelsDirectory_) / temporaryName(name);
  auto cleanup = [&] {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
  };
  if (Status created = createDirectories(staging.string()); !created.ok()) {
    return Error(kDomain, 3, created.error().description());
  }
  for (const auto& file : modelFiles()) {
    const fs::path from = fs::path(sourceDirectory) / file;
    if (!fs::exists(from, ec)) continue;  // vocab.txt is optional; the others were validated.
    fs::copy_file(from, staging / file, fs::copy_options::overwrite_existing, ec);
    // The copy would keep the source's mode; installed models are private like the rest.
    if (!ec) fs::permissions(staging / file, fs::perms::owner_read | fs::perms::owner_write, ec);
    if (ec) {
      cleanup();
      return Error(kDomain, 3, "cannot copy \"" + from.string() + "\": " + ec.message());
    }
  }
  // Move a previous install aside first, then the new one into place.
  const fs::path destination = fs::path(modelsDirectory_) / name;
  fs::path previous;
  if (fs::exists(destination, ec)) {
    previous = fs::path(modelsDirectory_) / temporaryName(name + "-old");
    fs::rename(destination, previous, ec);
    if (ec) {
      cleanup();
      return Error(kDomain, 3, "cannot replace \"" + destination.string() + "\": " + ec.message());
    }
  }
  fs::rename(staging, destination, ec);
  if (ec) {
    std::error_code ignored;
    if (!previous.empty()) fs::rename(previous, destination, ignored);
    cleanup();
    return Error(kDomain, 3, "cannot move the model into \"" + destination.string() + "\": " + ec.message());
  }
  if (!previous.empty()) fs::remove_all(previous, ec);
  return inspect(name);
}

Result<InstalledModel> InstalledModelStore::inspect(const std::string& name) const {
  if (!validName(name)) return Error(kDomain, 1, "invalid model name \"" + name + "\"");
  InstalledModel model;
  model.name = name;
  model.path = (fs::path(modelsDirectory_) / name).string();
  std::error_code ec;
  if (!fs::is_directory(model.path, ec)) return Error(kDomain, 4, "no model named \"" + name + "\" is installed");
  model.sizeOnDisk = directorySize(model.path);
  if (auto config = TransformerConfig::load(model.path + "/config.json"); config.ok()) {
    model.dimension = config->hiddenSize;
    model.layers = config->numHiddenLayers;
  }
  Status valid = validateModelDirectory(model.path);
  model.loads = valid.ok();
  if (!valid.ok()) model.loadError = valid.error().description();
  return model;
}

Result<std::vector<InstalledModel>> InstalledModelStore::list() const {
  std::vector<InstalledModel> models;
  std::error_code ec;
  if (!fs::exists(modelsDirectory_, ec)) return models;
  std::vector<std::string> names;
  for (fs::directory_iterator it(modelsDirectory_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    std::error_code typeError;
    if (validName(name) && it->is_directory(typeError)) names.push_back(name);
  }
  if (ec) return Error(kDomain, 3, "cannot read \"" + modelsDirectory_ + "\": " + ec.message());
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    auto model = inspect(name);
    if (model.ok()) models.push_back(std::move(model).value());
  }
  return models;
}

Status InstalledModelStore::remove(const std::string& name) {
  if (!validName(name)) return Error(kDomain, 1, "invalid model name \"" + name + "\"");
  const fs::path path = fs::path(modelsDirectory_) / name;
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return Error(kDomain, 4, "no model named \"" + name + "\" is installed");
  // Rename first so that a reader never sees a half-deleted model.
  const fs::path doomed = fs::path(modelsDirectory_) / temporaryName(name + "-removed");
  fs::rename(path, doomed, ec);
  if (ec) return Error(kDomain, 3, "cannot remove \"" + path.string() + "\": " + ec.message());
  fs::remove_all(doomed, ec);
  if (ec) return Error(kDomain, 3, "cannot delete \"" + doomed.string() + "\": " + ec.message());
  return okStatus();
}

}  // namespace pallix
