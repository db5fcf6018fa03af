#include "PallixRouter/PallixRouter.h"

#include <chrono>
#include <filesystem>

#include "PallixRouter/RouterErrors.h"
#include "SimilaritySearchKitBGESmall/BundledResources.h"
#include "app/platform/DataDirectories.h"

namespace pallix::router {
namespace fs = std::filesystem;

std::string PallixRouter::defaultCacheDirectory() {
  const std::string cache = DataDirectories::fromEnvironment().cache;
  if (cache.empty()) return {};
  return cache + "/" + kCompiledCacheSubdirectory;
}

Result<std::string> PallixRouter::bundledResourceDirectory() {
  auto calibration = findBundledResource("router/calibration.json");
  if (!calibration.ok()) return calibration.error();
  return fs::path(*calibration).parent_path().string();
}

std::optional<std::string> PallixRouterModelLocator::bundledModelURL() {
  auto bundle = PallixRouter::bundledResourceDirectory();
  if (!bundle.ok()) return std::nullopt;
  return locateModel(*bundle, modelName);
}

Result<std::shared_ptr<PallixRouter>> PallixRouter::create(const std::optional<std::string>& bundleDirectory,
                                                           int sequenceLength,
                                                           const std::optional<std::string>& cacheDirectory) {
  if (!bundleDirectory) {
    auto model = PallixRouterModelLocator::bundledModelURL();
    if (!model) return missingModelError();
    return create(*model, std::nullopt, sequenceLength, cacheDirectory);
  }
  auto model = locateModel(*bundleDirectory, bundledModelName);
  if (!model) return missingModelError();
  return create(*model, bundleDirectory, sequenceLength, cacheDirectory);
}

Result<std::shared_ptr<PallixRouter>> PallixRouter::create(const std::string& modelPath,
                                                           const std::optional<std::string>& bundleDirectory,
                                                           int sequenceLength,
                                                           const std::optional<std::string>& cacheDirectory) {
  std::string bundle;
  if (bundleDirectory) {
    bundle = *bundleDirectory;
  } else {
    auto bundled = bundledResourceDirectory();
    if (!bundled.ok()) return missingVocabularyError();
    bundle = *bundled;
  }
  const std::string cache = cacheDirectory ? *cacheDirectory : defaultCacheDirectory();
  auto classifier = loadRouterClassifier(modelPath, cache);
  if (!classifier.ok()) return classifier.error();
  auto calib = Calib::load((fs::path(bundle) / "calibration.json").string());
  if (!calib.ok()) return calib.error();
  std::error_code ec;
  const fs::path vocab = fs::path(bundle) / "vocab.txt";
  if (!fs::is_regular_file(vocab, ec)) return missingVocabularyError();
  auto tokenizer = BertTokenizer::load(vocab.string());
  if (!tokenizer.ok()) return tokenizer.error();
  return fromParts(std::move(*classifier), std::move(*calib), std::move(*tokenizer), sequenceLength);
}

std::shared_ptr<PallixRouter> PallixRouter::fromParts(std::unique_ptr<RouterClassifierModel> model, Calib calib,
                                                      BertTokenizer tokenizer, int sequenceLength) {
  std::shared_ptr<PallixRouter> router(
      new PallixRouter(std::move(model), std::move(calib), std::move(tokenizer), std::max(sequenceLength, 2)));
  router->warmUp();
  return router;
}

PallixRouter::PallixRouter(std::unique_ptr<RouterClassifierModel> model, Calib calib, BertTokenizer tokenizer,
                           int maxLength)
    : model_(std::move(model)), calib_(std::move(calib)), tokenizer_(std::move(tokenizer)), maxLength_(maxLength) {
  inputBuffers_.resize(1);
  inputBuffers_[0].inputIds.assign(static_cast<size_t>(maxLength_), 0);
  inputBuffers_[0].attentionMask.assign(static_cast<size_t>(maxLength_), 0);
}

void PallixRouter::warmUp() {
  (void)route("weather tomorrow", RouteOptions::defaults());
}

Result<std::vector<double>> PallixRouter::predictLogits(const std::string& text) {
  const Encoding encoding = tokenizer_.encode(text, maxLength_);
  std::lock_guard<std::mutex> lock(bufferLock_);
  EncoderInput& buffer = inputBuffers_[0];
  for (size_t i = 0; i < static_cast<size_t>(maxLength_); ++i) {
    buffer.inputIds[i] = encoding.inputIds[i];
    buffer.attentionMask[i] = encoding.attentionMask[i];
  }
  auto logits = model_->predictLogits(inputBuffers_);
  if (!logits.ok()) return logits.error();
  if (logits->empty()) return missingLogitsError();
  std::vector<double> values;
  for (size_t i = 0; i < logits->size() && i < kAllRouterDataSources.size(); ++i) values.push_back((*logits)[i]);
  return values;
}

Result<RouteDecision> PallixRouter::routeDetailed(const std::string& text, const RouteOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  RouteDecision decision;
  if (auto shortcut = Decision::lexicalShortcutProbabilities(text)) {
    decision.result.probabilities = std::move(*shortcut);
    decision.decidedByShortcut = true;
  } else {
    auto logits = predictLogits(text);
    if (!logits.ok()) return logits.error();
    decision.result.probabilities = Decision::probabilities(*logits, calib_);
  }
  decision.result.selected = Decision::selectedSources(decision.result.probabilities, calib_, options);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  decision.result.latencyMs = elapsed.count() * 1000.0;
  return decision;
}

Result<RouteResult> PallixRouter::route(const std::string& text, const RouteOptions& options) {
  auto decision = routeDetailed(text, options);
  if (!decision.ok()) return decision.error();
  return std::move(decision->result);
}

QueryRouterFactory makeBundledQueryRouterFactory() {
  return makeBlockingRouterFactory([](CancellationToken) -> Result<std::shared_ptr<QueryRouting>> {
    auto router = PallixRouter::create(std::nullopt, PallixRouter::defaultSequenceLength);
    if (!router.ok()) return router.error();
    return std::shared_ptr<QueryRouting>(std::move(*router));
  });
}

}  // namespace pallix::router
