#include "PallixRouter/Decision.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"

namespace pallix::router {
namespace {

// Patterns in case order (maps, weather, dictionary, knowledge, messages, files).
constexpr const char* kPatterns[6] = {
    "\\b(directions|near me|nearest|address|map|restaurant|coffee|charger|atm)\\b",
    "\\b(weather|forecast|rain|snow|uv|temperature|humidity|wind)\\b",
    "\\b(define|meaning|synonym|antonym|etymology|spell)\\b",
    "\\b(who is|what is|history of|facts about|tell me about|overview of)\\b",
    "\\b(texted|message|messages|conversation|what did .* say|when was i last|plans this weekend|did i text)\\b",
    "(\\.[a-z0-9]{2,6}\\b|\\bfile\\b|\\bpath\\b|\\brepo\\b|\\bmodule\\b|\\bclass\\b|\\bfunction\\b|\\bnetworking\\b|"
    "\\bpdf\\b|\\bdocx\\b|\\bxlsx\\b)",
};

struct CompiledPatterns {
  std::unique_ptr<icu::RegexPattern> patterns[6];
  CompiledPatterns() {
    for (int i = 0; i < 6; ++i) {
      UErrorCode status = U_ZERO_ERROR;
      UParseError parseError;
      patterns[i].reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(kPatterns[i]), 0, parseError, status));
      if (U_FAILURE(status)) patterns[i].reset();
    }
  }
};

const CompiledPatterns& compiledPatterns() {
  static const CompiledPatterns compiled;
  return compiled;
}

}  // namespace

Result<Calib> Calib::fromJson(std::string_view text) {
  try {
    nlohmann::json j = nlohmann::json::parse(text);
    if (!j.is_object()) return Error("PallixRouter.Calibration", 1, "calibration is not a JSON object");
    for (const char* key : {"labels", "temps", "thresholds", "gray_band"}) {
      if (!j.contains(key)) {
        return Error("PallixRouter.Calibration", 1, std::string("calibration lacks the key \"") + key + "\"");
      }
    }
    Calib calib;
    calib.labels = j.at("labels").get<std::vector<std::string>>();
    calib.temps = j.at("temps").get<std::map<std::string, double>>();
    calib.thresholds = j.at("thresholds").get<std::map<std::string, double>>();
    calib.grayBand = j.at("gray_band").get<std::vector<double>>();
    return calib;
  } catch (const nlohmann::json::exception& e) {
    return Error("PallixRouter.Calibration", 1, std::string("calibration could not be decoded: ") + e.what());
  }
}

Result<Calib> Calib::load(const std::string& path) {
  auto text = readFileToString(path);
  if (!text.ok()) return text.error();
  return fromJson(*text);
}

namespace Decision {

std::vector<DataSource> lexicalMatches(std::string_view text) {
  icu::UnicodeString lowered =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  lowered.toLower(icu::Locale::getRoot());
  std::vector<DataSource> matches;
  if (lowered.isEmpty()) return matches;
  const CompiledPatterns& compiled = compiledPatterns();
  for (DataSource source : kAllRouterDataSources) {
    const auto& pattern = compiled.patterns[static_cast<int>(source)];
    if (!pattern) continue;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(lowered, status));
    if (U_SUCCESS(status) && matcher->find(status) && U_SUCCESS(status)) matches.push_back(source);
  }
  return matches;
}

std::optional<ProbabilityMap> lexicalShortcutProbabilities(std::string_view text) {
  std::vector<DataSource> matches = lexicalMatches(text);
  if (matches.size() != 1 && matches.size() != 2) return std::nullopt;
  ProbabilityMap probabilities;
  for (DataSource source : kAllRouterDataSources) probabilities[source] = kShortcutOtherProbability;
  for (DataSource source : matches) probabilities[source] = kShortcutMatchProbability;
  return probabilities;
}

ProbabilityMap probabilities(const std::vector<double>& logits, const Calib& calib) {
  ProbabilityMap out;
  for (DataSource source : kAllRouterDataSources) {
    const size_t index = static_cast<size_t>(source);
    auto it = calib.temps.find(routerDataSourceRawValue(source));
    const double temperature = it == calib.temps.end() ? 1.0 : it->second;
    const double z = index < logits.size() ? logits[index] : 0.0;
    out[source] = 1.0 / (1.0 + std::exp(-z / temperature));
  }
  return out;
}

std::set<DataSource> selectedSources(const ProbabilityMap& probabilities, const Calib& calib,
                                     const RouteOptions& options) {
  std::vector<std::pair<DataSource, double>> selected;
  for (DataSource source : kAllRouterDataSources) {
    auto t = calib.thresholds.find(routerDataSourceRawValue(source));
    const double threshold = std::max(t == calib.thresholds.end() ? 0.5 : t->second, options.minConfidence);
    auto p = probabilities.find(source);
    const double probability = p == probabilities.end() ? 0.0 : p->second;
    if (probability >= threshold) selected.emplace_back(source, probability);
  }
  if (options.maxSources && static_cast<int>(selected.size()) > *options.maxSources) {
    std::stable_sort(selected.begin(), selected.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    selected.resize(static_cast<size_t>(std::max(0, *options.maxSources)));
  }
  std::set<DataSource> out;
  for (const auto& entry : selected) out.insert(entry.first);
  return out;
}

}  // namespace Decision
}  // namespace pallix::router
