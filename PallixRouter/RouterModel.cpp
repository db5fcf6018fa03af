#include "PallixRouter/RouterModel.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "SimilaritySearchKit/Blas.h"
#include "core/FileUtil.h"

namespace pallix::router {
namespace fs = std::filesystem;
namespace {

constexpr const char* kModelDomain = "PallixRouter.Model";

Error modelError(const std::string& description) {
  return Error(kModelDomain, 1, description);
}

Error fsError(const std::string& what, const std::error_code& ec) {
  return Error("PallixRouter.FileSystem", ec.value(), what + ": " + ec.message());
}

std::string lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Size and whole seconds since 1970 of the modification time (0 when missing).
std::pair<long long, long long> sizeAndTime(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {0, 0};
  return {static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec)};
}

int extensionRank(const std::string& extension) {
  const std::string e = lowercase(extension);
  if (e == std::string(".") + kCompiledExtension) return 0;
  if (e == std::string(".") + kSingleFileExtension) return 1;
  if (e == std::string(".") + kPackageExtension) return 2;
  return 3;
}

struct SourceModel {
  std::string configJson;
  SafetensorsFile weights;
};

Result<SourceModel> readSourceModel(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    auto config = readFileToString((path / "config.json").string());
    if (!config.ok()) return config.error();
    auto weights = SafetensorsFile::load((path / "model.safetensors").string());
    if (!weights.ok()) return weights.error();
    return SourceModel{std::move(*config), std::move(*weights)};
  }
  auto weights = SafetensorsFile::load(path.string());
  if (!weights.ok()) return weights.error();
  auto it = weights->metadata().find("config");
  if (it == weights->metadata().end()) {
    return modelError("model file " + path.string() + " has no \"config\" metadata entry");
  }
  std::string config = it->second;
  return SourceModel{std::move(config), std::move(*weights)};
}

// Builds the classifier from a config and weights, checking every shape.
Result<std::unique_ptr<TransformerEncoder>> buildEncoder(const std::string& configJson, const SafetensorsFile& weights,
                                                         std::vector<float>& headWeight, std::vector<float>& headBias,
                                                         int& labels) {
  auto config = TransformerConfig::fromJson(configJson);
  if (!config.ok()) return config.error();
  auto encoder = TransformerEncoder::fromParts(*config, weights);
  if (!encoder.ok()) return encoder.error();
  auto info = weights.tensors().find("classifier.weight");
  if (info == weights.tensors().end() || info->second.shape.size() != 2 ||
      info->second.shape[1] != config->hiddenSize || info->second.shape[0] < 6) {
    return modelError("model lacks a classifier head \"classifier.weight\" of shape [>=6, " +
                      std::to_string(config->hiddenSize) + "]");
  }
  labels = static_cast<int>(info->second.shape[0]);
  auto w = weights.floats("classifier.weight", {labels, config->hiddenSize});
  if (!w.ok()) return w.error();
  auto b = weights.floats("classifier.bias", {labels});
  if (!b.ok()) return b.error();
  headWeight = std::move(*w);
  headBias = std::move(*b);
  return std::move(*encoder);
}

Result<std::string> digestOfFile(const std::string& path, std::string* contents) {
  auto bytes = readFileToString(path);
  if (!bytes.ok()) return bytes.error();
  std::string digest = sha256Hex(*bytes);
  if (contents) *contents = std::move(*bytes);
  return digest;
}

// Writes the compiled form of `modelPath` into `directory` (which must not exist).
Status writeCompiled(const fs::path& modelPath, const fs::path& directory) {
  auto source = readSourceModel(modelPath);
  if (!source.ok()) return source.error();
  std::vector<float> w, b;
  int labels = 0;
  auto check = buildEncoder(source->configJson, source->weights, w, b, labels);
  if (!check.ok()) return check.error().withContext("model " + modelPath.string() + " is not a router classifier");
  std::map<std::string, TensorData> tensors;
  for (const auto& [name, info] : source->weights.tensors()) {
    auto values = source->weights.floats(name, info.shape);
    if (!values.ok()) continue;  // Non-float tensors are not part of the runtime's form.
    tensors[name] = TensorData{info.shape, std::move(*values)};
  }
  const std::string blob = SafetensorsFile::serialize(tensors, TensorDType::f32);
  PALLIX_RETURN_IF_ERROR(createDirectories(directory.string()));
  PALLIX_RETURN_IF_ERROR(writeFileAtomically((directory / "config.json").string(), source->configJson));
  PALLIX_RETURN_IF_ERROR(writeFileAtomically((directory / "weights.bin").string(), blob));
  nlohmann::json manifest = {{"format", 1},
                             {"weights", "weights.bin"},
                             {"weights_sha256", sha256Hex(blob)},
                             {"source", modelPath.filename().string()}};
  return writeFileAtomically((directory / "manifest.json").string(), manifest.dump(2) + "\n");
}

}  // namespace

std::string sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 0xF];
  }
  return out;
}

Result<std::string> modelFingerprint(const std::string& modelPath) {
  const fs::path root(modelPath);
  std::error_code ec;
  if (fs::is_directory(root, ec)) {
    std::vector<std::string> entries;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) return fsError("cannot list " + modelPath, ec);
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) return fsError("cannot list " + modelPath, ec);
      const std::string name = it->path().filename().string();
      if (!name.empty() && name[0] == '.') {
        if (it->is_directory(ec)) it.disable_recursion_pending();
        continue;
      }
      if (!it->is_regular_file(ec)) continue;
      auto [size, time] = sizeAndTime(it->path());
      entries.push_back(it->path().lexically_relative(root).generic_string() + "|" + std::to_string(size) + "|" +
                        std::to_string(time));
    }
    std::sort(entries.begin(), entries.end());
    std::string descriptor = root.filename().string() + "|";
    for (size_t i = 0; i < entries.size(); ++i) descriptor += (i ? ";" : "") + entries[i];
    return sha256Hex(descriptor);
  }
  auto [size, time] = sizeAndTime(root);
  return sha256Hex(root.filename().string() + "|" + std::to_string(size) + "|" + std::to_string(time));
}

std::optional<std::string> locateModel(const std::string& bundleDirectory, const std::string& modelName) {
  std::error_code ec;
  const fs::path bundle(bundleDirectory);
  for (const std::string& name : {modelName, std::string("model")}) {
    for (const char* extension : {kCompiledExtension, kSingleFileExtension, kPackageExtension}) {
      fs::path candidate = bundle / (name + "." + extension);
      if (fs::exists(candidate, ec)) return candidate.string();
    }
  }
  std::vector<std::string> found;
  fs::recursive_directory_iterator it(bundle, fs::directory_options::skip_permission_denied, ec);
  if (ec) return std::nullopt;
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string path = it->path().string();
    std::replace(path.begin(), path.end(), '\\', '/');
    for (const std::string& name : {modelName, std::string("model")}) {
      for (const char* extension : {kCompiledExtension, kSingleFileExtension, kPackageExtension}) {
        const std::string suffix = "/" + name + "." + extension;
        if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
          found.push_back(path);
        }
      }
    }
  }
  if (found.empty()) return std::nullopt;
  std::stable_sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
    return extensionRank(fs::path(a).extension().string()) < extensionRank(fs::path(b).extension().string());
  });
  return found.front();
}

Result<std::string> compiledModelPath(const std::string& modelPath, const std::string& cacheDirectory, bool rebuild) {
  const fs::path model(modelPath);
  if (lowercase(model.extension().string()) == std::string(".") + kCompiledExtension) return modelPath;
  if (cacheDirectory.empty()) return Error("PallixRouter", -3, "Unable to resolve user cache directory");
  std::error_code ec;
  PALLIX_RETURN_IF_ERROR(createDirectories(cacheDirectory));
  auto fingerprint = modelFingerprint(modelPath);
  if (!fingerprint.ok()) return fingerprint.error();
  const fs::path target =
      fs::path(cacheDirectory) / (model.stem().string() + "." + *fingerprint + "." + kCompiledExtension);
  if (!rebuild && fs::is_directory(target, ec)) return target.string();

  std::mt19937_64 random(std::random_device{}());
  const fs::path staging = fs::path(cacheDirectory) /
                           (".staging-" + std::to_string(::getpid()) + "-" + std::to_string(random() & 0xFFFFFFFF));
  Status written = writeCompiled(model, staging);
  if (!written.ok()) {
    fs::remove_all(staging, ec);
    return written.error();
  }
  fs::remove_all(target, ec);
  fs::rename(staging, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    // Another process may have placed the same entry meanwhile.
    if (!fs::is_directory(target, ignored)) return fsError("cannot move the compiled model to " + target.string(), ec);
  }
  return target.string();
}

Result<std::unique_ptr<TransformerRouterClassifier>> TransformerRouterClassifier::loadCompiled(
    const std::string& directory) {
  const fs::path dir(directory);
  std::string manifestText;
  auto manifestRead = readFileToString((dir / "manifest.json").string());
  if (!manifestRead.ok()) return manifestRead.error();
  std::string expected;
  try {
    auto manifest = nlohmann::json::parse(*manifestRead);
    expected = manifest.at("weights_sha256").get<std::string>();
  } catch (const nlohmann::json::exception& e) {
    return modelError("compiled model " + directory + " has an unreadable manifest: " + e.what());
  }
  std::string blob;
  auto digest = digestOfFile((dir / "weights.bin").string(), &blob);
  if (!digest.ok()) return digest.error();
  if (*digest != expected) return modelError("compiled model " + directory + " does not match its manifest digest");
  auto config = readFileToString((dir / "config.json").string());
  if (!config.ok()) return config.error();
  auto weights = SafetensorsFile::parse(std::move(blob));
  if (!weights.ok()) return weights.error();
  auto classifier = std::unique_ptr<TransformerRouterClassifier>(new TransformerRouterClassifier());
  auto encoder = buildEncoder(*config, *weights, classifier->headWeight_, classifier->headBias_, classifier->labels_);
  if (!encoder.ok()) return encoder.error();
  classifier->encoder_ = std::move(*encoder);
  return classifier;
}

Result<std::vector<float>> TransformerRouterClassifier::predictLogits(const std::vector<EncoderInput>& input) {
  auto output = encoder_->encode(input);
  if (!output.ok()) return output.error();
  if (output->empty() || (*output)[0].embedding.empty()) return std::vector<float>{};
  const std::vector<float>& cls = (*output)[0].embedding;
  const int hidden = static_cast<int>(cls.size());
  std::vector<float> logits(headBias_);
  blas::sgemv(labels_, hidden, 1.0f, headWeight_.data(), hidden, cls.data(), 1.0f, logits.data());
  return logits;
}

Result<std::unique_ptr<TransformerRouterClassifier>> loadRouterClassifier(const std::string& modelPath,
                                                                          const std::string& cacheDirectory) {
  auto compiled = compiledModelPath(modelPath, cacheDirectory, false);
  if (!compiled.ok()) return compiled.error();
  auto classifier = TransformerRouterClassifier::loadCompiled(*compiled);
  if (classifier.ok() || *compiled == modelPath) return classifier;
  // A damaged cache entry: compile it again once.
  auto rebuilt = compiledModelPath(modelPath, cacheDirectory, true);
  if (!rebuilt.ok()) return rebuilt.error();
  return TransformerRouterClassifier::loadCompiled(*rebuilt);
}

}  // namespace pallix::router
