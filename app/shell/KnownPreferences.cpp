#include "app/shell/KnownPreferences.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "app/platform/NominatimPlaceSearch.h"
#include "app/platform/OpenMeteoGeocoder.h"
#include "app/platform/OpenMeteoWeatherService.h"
#include "app/preferences/AppDisplayPreferences.h"
#include "app/preferences/ClipboardPreferences.h"
#include "app/preferences/DataSourcePreferences.h"
#include "app/preferences/FilesPreferences.h"
#include "app/preferences/IntelligencePreferences.h"
#include "app/preferences/MessagesPreferences.h"
#include "app/preferences/TelemetryPreferences.h"
#include "app/search/IndexingService.h"
#include "app/semantic/ModelDownloadManager.h"
#include "app/shell/AppDelegate.h"
#include "app/sources/WikipediaDataSource.h"
#include "core/Strings.h"

namespace pallix {
namespace {

template <size_t N>
std::vector<nlohmann::json> rawList(const std::array<std::string_view, N>& raws) {
  std::vector<nlohmann::json> out;
  for (auto raw : raws) out.emplace_back(std::string(raw));
  return out;
}

PreferenceDescriptor boolean(const char* object, const char* key, bool value) {
  return {object, key, PreferenceValueType::boolean, value, {}};
}

template <size_t N>
PreferenceDescriptor enumeration(const char* object, const char* key, const std::array<std::string_view, N>& raws,
                                 std::string_view value) {
  return {object, key, PreferenceValueType::string, std::string(value), rawList(raws)};
}

std::vector<PreferenceDescriptor> buildCatalogue() {
  using F = FilesPreferences;
  using M = MessagesPreferences;
  using I = IntelligencePreferences;
  using C = ClipboardPreferences;
  using D = DataSourcePreferences;
  using A = AppDisplayPreferences;
  using T = TelemetryPreferences;
  const auto& units = kEmbeddingComputeUnitsRawValues;
  std::vector<PreferenceDescriptor> out = {
      boolean("FilesPreferences", F::kSearchEnabledKey, F::kDefaultSearchEnabled),
      boolean("FilesPreferences", F::kSemanticSearchEnabledKey, F::kDefaultSemanticSearchEnabled),
      enumeration("FilesPreferences", F::kSearchScopeKey, F::kSearchScopeRawValues,
                  F::rawValue(F::kDefaultSearchScope)),
      {"FilesPreferences",
       F::kIndexedFoldersKey,
       PreferenceValueType::stringArray,
       nlohmann::json::array(),
       {},
       std::string("semantic search folders: contents indexed for search by meaning; the catalog folders "
                   "(search by name) are ") +
           IndexingService::kFileDirectoriesKey},
      enumeration("FilesPreferences", F::kComputeUnitsKey, units, pallix::rawValue(F::kDefaultComputeUnits)),
      enumeration("FilesPreferences", F::kIndexingIntensityKey, kIndexingIntensityRawValues,
                  rawValue(F::kDefaultIndexingIntensity)),
      boolean("MessagesPreferences", M::kSearchEnabledKey, M::kDefaultSearchEnabled),
      boolean("MessagesPreferences", M::kSemanticSearchEnabledKey, M::kDefaultSemanticSearchEnabled),
      enumeration("MessagesPreferences", M::kComputeUnitsKey, units, pallix::rawValue(M::kDefaultComputeUnits)),
      enumeration("MessagesPreferences", M::kIndexingIntensityKey, kIndexingIntensityRawValues,
                  rawValue(M::kDefaultIndexingIntensity)),
      enumeration("IntelligencePreferences", I::kSelectedModelKey, kEmbeddingModelRawValues,
                  pallix::rawValue(I::kDefaultSelectedModel)),
      enumeration("IntelligencePreferences", I::kComputeUnitsKey, units, pallix::rawValue(I::kDefaultComputeUnits)),
      enumeration("IntelligencePreferences", I::kIndexingIntensityKey, kIndexingIntensityRawValues,
                  rawValue(I::kDefaultIndexingIntensity)),
      boolean("ClipboardPreferences", C::kHistoryEnabledKey, C::kDefaultHistoryEnabled),
      {"ClipboardPreferences", C::kRetentionDaysKey, PreferenceValueType::integer, C::defaultRetentionDays,
       std::vector<nlohmann::json>(C::retentionOptions.begin(), C::retentionOptions.end())},
      {"ClipboardPreferences",
       C::kMaxStorageMBKey,
       PreferenceValueType::integer,
       C::kDefaultMaxStorageMB,
       {},
       {},
       std::pair<int64_t, int64_t>(C::kMinimumMaxStorageMB, C::kMaximumMaxStorageMB)},
      boolean("ClipboardPreferences", C::kLinkPreviewsEnabledKey, C::kDefaultLinkPreviewsEnabled),
      boolean("ClipboardPreferences", C::kSemanticSearchEnabledKey, C::kDefaultSemanticSearchEnabled),
      boolean("DataSourcePreferences", D::kCalculatorEnabledKey, D::kDefaultEnabled),
      boolean("DataSourcePreferences", D::kContactsEnabledKey, D::kDefaultEnabled),
      boolean("DataSourcePreferences", D::kCalendarEnabledKey, D::kDefaultEnabled),
      boolean("DataSourcePreferences", D::kMapsEnabledKey, D::kDefaultEnabled),
      boolean("DataSourcePreferences", D::kWeatherEnabledKey, D::kDefaultEnabled),
      boolean("DataSourcePreferences", D::kDictionaryEnabledKey, D::kDefaultEnabled),
      boolean("DataSourcePreferences", D::kWikipediaEnabledKey, D::kDefaultEnabled),
      enumeration("AppDisplayPreferences", A::kAppNameDisplayModeKey, A::kAppNameDisplayModeRawValues,
                  A::rawValue(A::kDefaultAppNameDisplayMode)),
      enumeration("AppDisplayPreferences", A::kPanelPositionKey, kPanelPositionRawValues,
                  rawValue(A::kDefaultPanelPosition)),
      boolean("TelemetryPreferences", T::kTelemetryEnabledKey, T::kDefaultTelemetryEnabled),
  };
  return out;
}

std::vector<PreferenceDescriptor> buildStoredKeys() {
  using S = IndexingService;
  const auto array = PreferenceValueType::stringArray;
  return {
      {"IndexingService",
       S::kFileDirectoriesKey,
       array,
       nullptr,
       {},
       std::string("catalog folders: files indexed for search by name ('pallix folders'); the semantic search "
                   "folders are ") +
           FilesPreferences::kIndexedFoldersKey},
      {"IndexingService", S::kAdditionalAppDirectoriesKey, array, nullptr, {}},
      {"IndexingService", S::kLastFullScanTimeKey, PreferenceValueType::date, nullptr, {}},
      {"AppDelegate", AppDelegate::kHasCompletedOnboardingKey, PreferenceValueType::boolean, false, {}},
      {"MessagesPreferences",
       "MessagesPreferences.databasePath",
       PreferenceValueType::string,
       nullptr,
       {},
       "the Messages database read instead of ~/Library/Messages/Chat.db ('pallix messages import-backup')"},
      // Where the intelligence sources and model downloads send their requests.
      {"OpenMeteoWeatherService",
       OpenMeteoWeatherService::kBaseURLKey,
       PreferenceValueType::string,
       OpenMeteoWeatherService::kDefaultBaseURL,
       {},
       "forecasts for the weather source"},
      {"OpenMeteoGeocoder",
       OpenMeteoGeocoder::kBaseURLKey,
       PreferenceValueType::string,
       OpenMeteoGeocoder::kDefaultBaseURL,
       {},
       "place names of weather queries"},
      {"NominatimPlaceSearch",
       NominatimPlaceSearch::kBaseURLKey,
       PreferenceValueType::string,
       NominatimPlaceSearch::kDefaultBaseURL,
       {},
       "place search and reverse geocoding"},
      {"WikipediaDataSource",
       WikipediaDataSource::kBaseURLKey,
       PreferenceValueType::string,
       WikipediaDataSource::kDefaultBaseURL,
       {},
       "the instant-answer API of the encyclopedia source"},
      {"WikipediaDataSource",
       WikipediaDataSource::kWebOriginKey,
       PreferenceValueType::string,
       WikipediaDataSource::kDefaultWebOrigin,
       {},
       "the web origin of the instant-answer API's image paths"},
      {"ModelDownloadManager",
       ModelDownloadManager::kBaseURLKey,
       PreferenceValueType::string,
       nullptr,
       {},
       "the model download server (no default)"},
  };
}

// Levenshtein distance over ASCII-lowercased text.
size_t editDistance(std::string_view a, std::string_view b) {
  const std::string x = asciiLowercase(a), y = asciiLowercase(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

std::string_view propertyName(std::string_view key) {
  const size_t dot = key.rfind('.');
  return dot == std::string_view::npos ? key : key.substr(dot + 1);
}

bool hasType(const nlohmann::json& value, PreferenceValueType type) {
  switch (type) {
    case PreferenceValueType::boolean:
      return value.is_boolean();
    case PreferenceValueType::integer:
      return value.is_number_integer();
    case PreferenceValueType::real:
      return value.is_number();
    case PreferenceValueType::string:
      return value.is_string();
    case PreferenceValueType::stringArray:
      return value.is_array() && std::all_of(value.begin(), value.end(), [](const auto& e) { return e.is_string(); });
    case PreferenceValueType::date:
      return value.is_object() && value.size() == 1 && value.contains("$date") && value["$date"].is_number();
  }
  return false;
}

bool inRange(const nlohmann::json& value, const std::pair<int64_t, int64_t>& range) {
  return value.is_number_integer() && value.get<int64_t>() >= range.first && value.get<int64_t>() <= range.second;
}

std::string describeAllowed(const std::vector<nlohmann::json>& allowed) {
  std::vector<std::string> parts;
  for (const auto& v : allowed) parts.push_back(v.is_string() ? v.get<std::string>() : v.dump());
  return joinStrings(parts, ", ");
}

Result<int64_t> parseInteger(std::string_view text) {
  std::string s(trimWhitespace(text));
  if (s.empty()) return Error::make("expected an integer, got an empty value");
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return Error::make(inQuotes(s) + " is not an integer");
  return static_cast<int64_t>(v);
}

}  // namespace

const char* preferenceValueTypeName(PreferenceValueType type) {
  switch (type) {
    case PreferenceValueType::boolean:
      return "bool";
    case PreferenceValueType::integer:
      return "int";
    case PreferenceValueType::real:
      return "double";
    case PreferenceValueType::string:
      return "string";
    case PreferenceValueType::stringArray:
      return "array";
    case PreferenceValueType::date:
      return "date";
  }
  return "string";
}

Result<PreferenceValueType> preferenceValueTypeFromName(std::string_view name) {
  for (auto type : {PreferenceValueType::boolean, PreferenceValueType::integer, PreferenceValueType::real,
                    PreferenceValueType::string, PreferenceValueType::stringArray, PreferenceValueType::date}) {
    if (name == preferenceValueTypeName(type)) return type;
  }
  return Error::make("unknown type " + inQuotes(name) + "; use bool, int, double, string, array or date");
}

const std::vector<PreferenceDescriptor>& knownPreferences() {
  static const std::vector<PreferenceDescriptor> catalogue = buildCatalogue();
  return catalogue;
}

const PreferenceDescriptor* findKnownPreference(std::string_view key) {
  for (const auto& d : knownPreferences()) {
    if (d.key == key) return &d;
  }
  return nullptr;
}

const std::vector<PreferenceDescriptor>& knownStoredKeys() {
  static const std::vector<PreferenceDescriptor> keys = buildStoredKeys();
  return keys;
}

const PreferenceDescriptor* findKnownKey(std::string_view key) {
  if (const auto* preference = findKnownPreference(key)) return preference;
  for (const auto& d : knownStoredKeys()) {
    if (d.key == key) return &d;
  }
  return nullptr;
}

const PreferenceDescriptor* suggestKnownKey(std::string_view key) {
  std::vector<const PreferenceDescriptor*> all;
  for (const auto* list : {&knownPreferences(), &knownStoredKeys()}) {
    for (const auto& d : *list) all.push_back(&d);
  }
  const std::string lower = asciiLowercase(key);
  for (const auto* d : all) {
    if (asciiLowercase(d->key) == lower) return d;
  }
  const std::string property = asciiLowercase(propertyName(key));
  for (const auto* d : all) {
    if (asciiLowercase(propertyName(d->key)) == property) return d;
  }
  // A typo: a few edits in the whole key, or in the property name alone.
  const PreferenceDescriptor* best = nullptr;
  size_t bestDistance = std::max<size_t>(2, key.size() / 6) + 1;
  for (const auto* d : all) {
    const size_t distance = std::min(editDistance(key, d->key), editDistance(propertyName(key), propertyName(d->key)));
    if (distance < bestDistance) {
      best = d;
      bestDistance = distance;
    }
  }
  return best;
}

nlohmann::json effectivePreferenceValue(const PreferenceDescriptor& descriptor, const UserDefaults& defaults) {
  auto stored = defaults.rawValue(descriptor.key);
  if (!stored || !hasType(*stored, descriptor.type)) return descriptor.defaultValue;
  if (!descriptor.allowedValues.empty() && std::find(descriptor.allowedValues.begin(), descriptor.allowedValues.end(),
                                                     *stored) == descriptor.allowedValues.end()) {
    return descriptor.defaultValue;
  }
  if (descriptor.range && !inRange(*stored, *descriptor.range)) return descriptor.defaultValue;
  return *stored;
}

Result<nlohmann::json> parseTypedValue(std::string_view text, PreferenceValueType type) {
  std::string s(text);
  switch (type) {
    case PreferenceValueType::boolean: {
      std::string lower = asciiLowercase(trimWhitespace(text));
      if (lower == "true" || lower == "yes" || lower == "1") return nlohmann::json(true);
      if (lower == "false" || lower == "no" || lower == "0") return nlohmann::json(false);
      return Error::make(inQuotes(s) + " is not a boolean; use true or false");
    }
    case PreferenceValueType::integer: {
      PALLIX_ASSIGN_OR_RETURN(int64_t v, parseInteger(text));
      return nlohmann::json(v);
    }
    case PreferenceValueType::real: {
      std::string t(trimWhitespace(text));
      errno = 0;
      char* end = nullptr;
      double v = t.empty() ? 0 : std::strtod(t.c_str(), &end);
      if (t.empty() || *end != '\0' || errno == ERANGE || v != v) {
        return Error::make(inQuotes(s) + " is not a number");
      }
      return nlohmann::json(v);
    }
    case PreferenceValueType::string:
      return nlohmann::json(s);
    case PreferenceValueType::stringArray: {
      std::string_view trimmed = trimWhitespace(text);
      if (startsWith(trimmed, "[")) {
        nlohmann::json parsed = nlohmann::json::parse(trimmed, nullptr, /*allow_exceptions=*/false);
        if (parsed.is_discarded() || !hasType(parsed, PreferenceValueType::stringArray)) {
          return Error::make(inQuotes(s) + " is not a JSON array of strings");
        }
        return parsed;
      }
      nlohmann::json out = nlohmann::json::array();
      if (trimmed.empty()) return out;
      for (const auto& part : splitString(trimmed, ',')) out.push_back(part);
      return out;
    }
    case PreferenceValueType::date: {
      std::string t(trimWhitespace(text));
      char* end = nullptr;
      errno = 0;
      double secs = t.empty() ? 0 : std::strtod(t.c_str(), &end);
      if (!t.empty() && *end == '\0' && errno == 0 && secs == secs) return nlohmann::json{{"$date", secs}};
      std::tm tm{};
      const char* rest = strptime(t.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
      if (rest == nullptr || *rest != '\0') {
        return Error::make(inQuotes(s) + " is not a date; use seconds since 1970 or YYYY-MM-DDTHH:MM:SSZ");
      }
      return nlohmann::json{{"$date", static_cast<double>(timegm(&tm))}};
    }
  }
  return Error::make("unsupported type");
}

Result<nlohmann::json> parsePreferenceValue(const PreferenceDescriptor& descriptor, std::string_view text) {
  auto parsed = parseTypedValue(text, descriptor.type);
  if (!parsed.ok()) {
    std::string message =
        descriptor.key + " takes a " + preferenceValueTypeName(descriptor.type) + ": " + parsed.error().description();
    if (!descriptor.allowedValues.empty()) message += " (allowed: " + describeAllowed(descriptor.allowedValues) + ")";
    return Error("PreferenceValueError", 1, message);
  }
  if (!descriptor.allowedValues.empty() && std::find(descriptor.allowedValues.begin(), descriptor.allowedValues.end(),
                                                     parsed.value()) == descriptor.allowedValues.end()) {
    return Error("PreferenceValueError", 2,
                 inQuotes(text) + " is not allowed for " + descriptor.key +
                     "; allowed values: " + describeAllowed(descriptor.allowedValues));
  }
  if (descriptor.range && !inRange(parsed.value(), *descriptor.range)) {
    return Error("PreferenceValueError", 2,
                 inQuotes(text) + " is out of range for " + descriptor.key + "; give " +
                     std::to_string(descriptor.range->first) + " to " + std::to_string(descriptor.range->second));
  }
  return parsed;
}

}  // namespace pallix
