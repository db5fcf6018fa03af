#include "app/intelligence/SourceSelectionRules.h"

#include <algorithm>
#include <array>

#include "app/intelligence/IntelligenceText.h"
#include "app/intelligence/QueryRouting.h"

namespace pallix {

namespace {

using namespace intelligence;
using Id = VCRDataSourceIdentifier;

constexpr std::array<std::string_view, 8> kMapIntentKeywords = {"map",        "maps",  "directions", "navigate",
                                                                "navigation", "route", "routing",    "nearby"};
constexpr std::array<std::string_view, 8> kMapIntentPhrases = {" directions to ", " route to ", " navigate to ",
                                                               " drive to ",      " walk to ",  " transit to ",
                                                               " near me",        " around me"};
constexpr std::array<std::string_view, 14> kForcingWeatherKeywords = {
    "weather", "rain",     "raining", "forecast", "temperature", "wind",    "snow",
    "snowing", "humidity", "uv",      "uv index", "air quality", "sunrise", "sunset"};

bool enabled(const SourceSelectionContext& context, Id id) {
  return context.isEnabled && context.isEnabled(id);
}

bool addressFound(const std::function<bool(const std::string&)>& detector, std::string_view text) {
  return detector && detector(std::string(text));
}

bool dictionaryApplies(std::string_view text, const SourceSelectionContext& context) {
  return enabled(context, Id::dictionary) && SourceSelectionRules::matchesDictionaryTrigger(text) &&
         context.dictionaryResolvesCandidate && context.dictionaryResolvesCandidate(std::string(text));
}

}  // namespace

VCRDataSourceIdentifier identifierForRouterSource(DataSource source) {
  switch (source) {
    case DataSource::maps:
      return Id::maps;
    case DataSource::weather:
      return Id::weather;
    case DataSource::dictionary:
      return Id::dictionary;
    case DataSource::knowledge:
      return Id::wikipedia;
    case DataSource::messages:
      return Id::messages;
    case DataSource::files:
      return Id::files;
  }
  return Id::files;
}

bool SourceSelectionRules::hasMapIntent(std::string_view text,
                                        const std::function<bool(const std::string&)>& addressDetector) {
  if (addressFound(addressDetector, text)) return true;
  const std::string folded = foldAndLowercase(text);
  for (const std::string& piece : splitNonAlphanumeric(folded)) {
    if (std::find(kMapIntentKeywords.begin(), kMapIntentKeywords.end(), piece) != kMapIntentKeywords.end()) {
      return true;
    }
  }
  return std::any_of(kMapIntentPhrases.begin(), kMapIntentPhrases.end(),
                     [&](std::string_view phrase) { return folded.find(phrase) != std::string::npos; });
}

bool SourceSelectionRules::matchesDictionaryTrigger(std::string_view text) {
  return regexContains(kDictionaryTriggerPattern, foldAndLowercase(text));
}

bool SourceSelectionRules::containsForcingWeatherKeyword(std::string_view text) {
  const std::string folded = foldAndLowercase(text);
  return std::any_of(kForcingWeatherKeywords.begin(), kForcingWeatherKeywords.end(),
                     [&](std::string_view keyword) { return folded.find(keyword) != std::string::npos; });
}

std::set<VCRDataSourceIdentifier> SourceSelectionRules::fallbackIdentifiers(std::string_view rawText,
                                                                            const SourceSelectionContext& context) {
  std::set<Id> result;
  const std::string text = trimmed(rawText);
  if (text.empty()) return result;
  if (enabled(context, Id::weather) && context.weatherAnalyzer &&
      context.weatherAnalyzer->intent(text, context.weatherLocationPreference)) {
    result.insert(Id::weather);
  }
  if (enabled(context, Id::maps) && hasMapIntent(text, context.addressDetector)) result.insert(Id::maps);
  if (dictionaryApplies(text, context)) result.insert(Id::dictionary);
  return result;
}

std::set<VCRDataSourceIdentifier> SourceSelectionRules::forcedIdentifiers(std::string_view rawText,
                                                                          const SourceSelectionContext& context) {
  std::set<Id> result;
  const std::string text = trimmed(rawText);
  if (text.empty()) return result;
  const bool address = addressFound(context.addressDetector, text);
  if (enabled(context, Id::maps) && (address || hasMapIntent(text, context.addressDetector))) result.insert(Id::maps);
  if (enabled(context, Id::weather) && (containsForcingWeatherKeyword(text) || address)) result.insert(Id::weather);
  if (dictionaryApplies(text, context)) result.insert(Id::dictionary);
  return result;
}

}  // namespace pallix
