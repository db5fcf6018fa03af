// SourceSelectionRules: the rule-based choice of remote data sources that the
// intelligence coordinator uses beside the router: the fallback set (when
// the router is not ready or fails) and the forced set (added whatever the
// router says). Pure functions of the text and the context; thread-safe.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "app/intelligence/IntelligenceTypes.h"
#include "app/intelligence/QueryRouting.h"
#include "app/intelligence/WeatherQueryAnalyzer.h"

namespace pallix {

struct SourceSelectionContext {
  // The switch of a source (false for a source that does not exist).
  std::function<bool(VCRDataSourceIdentifier)> isEnabled;
  WeatherLocationPreference weatherLocationPreference = WeatherLocationPreference::automatic;
  const WeatherQueryAnalyzer* weatherAnalyzer = nullptr;
  // The platform's postal-address detector; absent on Linux (never finds one).
  std::function<bool(const std::string&)> addressDetector;
  // The dictionary source's "resolves a lookup candidate without fallback".
  std::function<bool(const std::string&)> dictionaryResolvesCandidate;
};

class SourceSelectionRules {
 public:
  static constexpr const char* kDictionaryTriggerPattern = "(?:^|\\s)(def|definition)(?=\\s|$|[[:punct:]])";

  // Address found, a map keyword as a word, or a map phrase (" directions to ", " near me", ...).
  static bool hasMapIntent(std::string_view text, const std::function<bool(const std::string&)>& addressDetector);
  // "def ..." / "... definition": the folded, lowercased text matches the trigger pattern.
  static bool matchesDictionaryTrigger(std::string_view text);
  // One of the coordinator's weather keywords as a substring of the folded text.
  static bool containsForcingWeatherKeyword(std::string_view text);

  // Weather (analyzer intent), maps (map intent), dictionary (trigger + candidate).
  // Never wikipedia, messages or files. Empty text yields nothing.
  static std::set<VCRDataSourceIdentifier> fallbackIdentifiers(std::string_view text,
                                                               const SourceSelectionContext& context);
  // Maps (address or map intent), weather (keyword or address), dictionary (as in the fallback).
  static std::set<VCRDataSourceIdentifier> forcedIdentifiers(std::string_view text,
                                                             const SourceSelectionContext& context);
};

// The coordinator's mapping of router labels to data-source identifiers.
VCRDataSourceIdentifier identifierForRouterSource(DataSource source);

}  // namespace pallix
