// The router's classifier and its on-disk forms.
//
// Model forms (the bundle lookup tries names in this order, see locateModel):
//   "<name>.pallixmodelc"  compiled: a directory with "config.json",
//                          "weights.bin" (every tensor as contiguous float32
//                          in the safetensors layout) and "manifest.json"
//                          (SHA-256 of weights.bin); loaded as it is.
//   "<name>.pallixmodel"   a single safetensors file whose metadata entry
//                          "config" holds the config.json text.
//   "<name>.pallixpackage" a package directory: "config.json" + "model.safetensors".
// Anything but a compiled model is compiled once into the cache directory under
// "<file name without extension>.<model fingerprint>.pallixmodelc" (written in
// a staging directory and moved into place) and reused while the fingerprint
// matches; a cache entry that fails to load or verify is rebuilt.
//
// The classifier: a BERT-style encoder (SimilaritySearchKit's runtime) whose
// L2-normalised [CLS] vector feeds a linear head "classifier.weight" [6, H],
// "classifier.bias" [6] giving the six logits in DataSource order.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimilaritySearchKit/TransformerEncoder.h"
#include "core/Error.h"

namespace pallix::router {

inline constexpr const char* kCompiledExtension = "pallixmodelc";
inline constexpr const char* kSingleFileExtension = "pallixmodel";
inline constexpr const char* kPackageExtension = "pallixpackage";
inline constexpr const char* kCompiledCacheSubdirectory = "PallixRouterCompiled";

// What runs one prediction: six (or more) logits for one [1, L] input.
// Implementations must be safe to call from one thread at a time.
class RouterClassifierModel {
 public:
  virtual ~RouterClassifierModel() = default;
  virtual Result<std::vector<float>> predictLogits(const std::vector<EncoderInput>& input) = 0;
};

class TransformerRouterClassifier final : public RouterClassifierModel {
 public:
  // Loads a compiled model directory (verifies the manifest's digest).
  static Result<std::unique_ptr<TransformerRouterClassifier>> loadCompiled(const std::string& directory);
  Result<std::vector<float>> predictLogits(const std::vector<EncoderInput>& input) override;
  const TransformerConfig& config() const { return encoder_->config(); }

 private:
  std::unique_ptr<TransformerEncoder> encoder_;
  std::vector<float> headWeight_;  // [labels, hidden]
  std::vector<float> headBias_;
  int labels_ = 0;
};

// Lowercase hexadecimal SHA-256 of `text`.
std::string sha256Hex(std::string_view text);

// Fingerprint of a model file or package directory (see the descriptor rules in RouterModel.cpp).
Result<std::string> modelFingerprint(const std::string& modelPath);

// The model in a bundle directory: by name and extension first, else by a recursive search.
std::optional<std::string> locateModel(const std::string& bundleDirectory,
                                       const std::string& modelName = "PallixRouter");

// The compiled directory for `modelPath`: itself when compiled, else a cache
// entry in `cacheDirectory` (compiled now when absent or `rebuild`).
Result<std::string> compiledModelPath(const std::string& modelPath, const std::string& cacheDirectory, bool rebuild);

// Compiles (when needed) and loads; a cache entry that does not load is rebuilt once.
Result<std::unique_ptr<TransformerRouterClassifier>> loadRouterClassifier(const std::string& modelPath,
                                                                          const std::string& cacheDirectory);

}  // namespace pallix::router
