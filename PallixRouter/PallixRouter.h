// PallixRouter: decides which of the six intelligence data sources a search
// text should ask. The lexical shortcut settles clear cases; otherwise the
// calibrated classifier runs on the CPU transformer runtime.
//
// Built off the main thread by the coordinator's factory; afterwards immutable
// except for the two preallocated input buffers, which only change under
// `bufferLock_`, so route() may be called from any thread and predictions are
// strictly serial per instance.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "PallixRouter/Decision.h"
#include "PallixRouter/RouterModel.h"
#include "PallixRouter/RouterTokenizer.h"
#include "app/intelligence/QueryRouting.h"

namespace pallix::router {

// Finds the bundled classifier model in the router's resource folder.
struct PallixRouterModelLocator {
  static constexpr const char* modelName = "PallixRouter";
  static constexpr const char* modelVersion = "v2";
  // The model path, or none when the resources or the model are missing.
  static std::optional<std::string> bundledModelURL();
};

// A routing decision with what decided it (the CLI and benchmarks show it).
struct RouteDecision {
  RouteResult result;
  bool decidedByShortcut = false;
};

class PallixRouter final : public QueryRouting {
 public:
  static constexpr const char* bundledModelName = "PallixRouter";
  static constexpr const char* bundledModelVersion = "v2";
  static constexpr int defaultSequenceLength = 128;

  // Where compiled models are cached: "<cache>/PallixRouterCompiled"
  // (DataDirectories::cache, which honours PALLIX_HOME and XDG_CACHE_HOME).
  static std::string defaultCacheDirectory();
  // The bundled resource folder ("router" under the resources directory).
  static Result<std::string> bundledResourceDirectory();

  // From a resource bundle directory (model, "vocab.txt", "calibration.json");
  // no bundle: the bundled resources. No model found: error -4.
  static Result<std::shared_ptr<PallixRouter>> create(const std::optional<std::string>& bundleDirectory,
                                                      int sequenceLength = defaultSequenceLength,
                                                      const std::optional<std::string>& cacheDirectory = {});
  // From an explicit model file or directory; the bundle supplies calibration and vocabulary.
  static Result<std::shared_ptr<PallixRouter>> create(const std::string& modelPath,
                                                      const std::optional<std::string>& bundleDirectory,
                                                      int sequenceLength,
                                                      const std::optional<std::string>& cacheDirectory);
  // From parts (tests inject a model).
  static std::shared_ptr<PallixRouter> fromParts(std::unique_ptr<RouterClassifierModel> model, Calib calib,
                                                 BertTokenizer tokenizer, int sequenceLength);

  Result<RouteResult> route(const std::string& text, const RouteOptions& options) override;
  Result<RouteDecision> routeDetailed(const std::string& text, const RouteOptions& options);
  // The classifier's logits for `text` (the shortcut is not consulted).
  Result<std::vector<double>> predictLogits(const std::string& text);

  const Calib& calib() const { return calib_; }
  const BertTokenizer& tokenizer() const { return tokenizer_; }
  int maxLength() const { return maxLength_; }

 private:
  PallixRouter(std::unique_ptr<RouterClassifierModel> model, Calib calib, BertTokenizer tokenizer, int maxLength);
  void warmUp();

  std::unique_ptr<RouterClassifierModel> model_;
  Calib calib_;
  BertTokenizer tokenizer_;
  int maxLength_;
  std::mutex bufferLock_;
  // The [1, maxLength] "input_ids" and "attention_mask" buffers, reused by every prediction.
  std::vector<EncoderInput> inputBuffers_;
};

// The coordinator's factory: builds the bundled router with sequence length 128.
QueryRouterFactory makeBundledQueryRouterFactory();

}  // namespace pallix::router
