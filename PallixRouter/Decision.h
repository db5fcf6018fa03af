// The router's decision rule as pure functions: the lexical shortcut, the
// temperature-scaled logistic probabilities and the thresholded selection;
// plus `Calib`, the calibration resource ("calibration.json").
// Thread-safe (no state besides the compiled patterns, built once).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/intelligence/QueryRouting.h"
#include "core/Error.h"

namespace pallix::router {

using ProbabilityMap = std::map<DataSource, double>;

struct Calib {
  std::vector<std::string> labels;           // "labels": kept, not used by the decision
  std::map<std::string, double> temps;       // "temps": missing source means 1.0
  std::map<std::string, double> thresholds;  // "thresholds": missing source means 0.5
  std::vector<double> grayBand;              // "gray_band": kept, not used by the decision

  // All four keys are required; a decoding error quotes its cause.
  static Result<Calib> fromJson(std::string_view text);
  static Result<Calib> load(const std::string& path);
};

namespace Decision {

inline constexpr double kShortcutMatchProbability = 0.98;
inline constexpr double kShortcutOtherProbability = 0.01;

// The sources whose pattern matches the lowercased text (in case order).
std::vector<DataSource> lexicalMatches(std::string_view text);
// One or two matching sources: all six at 0.01, the matches at 0.98. Otherwise none.
std::optional<ProbabilityMap> lexicalShortcutProbabilities(std::string_view text);
// p = 1 / (1 + e^(-z / T)) per source; a missing logit counts as 0.
ProbabilityMap probabilities(const std::vector<double>& logits, const Calib& calib);
// Sources with p >= max(threshold, minConfidence); capped to the most probable `maxSources`.
std::set<DataSource> selectedSources(const ProbabilityMap& probabilities, const Calib& calib,
                                     const RouteOptions& options);

}  // namespace Decision
}  // namespace pallix::router
