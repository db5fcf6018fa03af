#include "app/intelligence/IntelligenceTypes.h"

#include <algorithm>

#include "app/intelligence/DateFormatting.h"
#include "app/platform/HttpClient.h"
#include "core/Strings.h"

namespace pallix {

const char* dataSourceIdentifierRawValue(VCRDataSourceIdentifier identifier) {
  switch (identifier) {
    case VCRDataSourceIdentifier::calculator:
      return "calculator";
    case VCRDataSourceIdentifier::contacts:
      return "contacts";
    case VCRDataSourceIdentifier::calendar:
      return "calendar";
    case VCRDataSourceIdentifier::maps:
      return "maps";
    case VCRDataSourceIdentifier::weather:
      return "weather";
    case VCRDataSourceIdentifier::dictionary:
      return "dictionary";
    case VCRDataSourceIdentifier::wikipedia:
      return "wikipedia";
    case VCRDataSourceIdentifier::messages:
      return "messages";
    case VCRDataSourceIdentifier::files:
      return "files";
    case VCRDataSourceIdentifier::apps:
      return "apps";
  }
  return "apps";
}

std::optional<VCRDataSourceIdentifier> dataSourceIdentifierFromRawValue(std::string_view raw) {
  for (auto identifier : kAllDataSourceIdentifiers) {
    if (raw == dataSourceIdentifierRawValue(identifier)) return identifier;
  }
  return std::nullopt;
}

bool isLocalDataSource(VCRDataSourceIdentifier identifier) {
  return identifier == VCRDataSourceIdentifier::calculator || identifier == VCRDataSourceIdentifier::contacts ||
         identifier == VCRDataSourceIdentifier::calendar;
}

bool isRemoteDataSource(VCRDataSourceIdentifier identifier) {
  return identifier == VCRDataSourceIdentifier::maps || identifier == VCRDataSourceIdentifier::weather ||
         identifier == VCRDataSourceIdentifier::dictionary || identifier == VCRDataSourceIdentifier::wikipedia;
}

std::string joinedRawValues(const std::set<VCRDataSourceIdentifier>& identifiers, std::string_view separator) {
  std::vector<std::string> raw;
  for (auto identifier : identifiers) raw.emplace_back(dataSourceIdentifierRawValue(identifier));
  std::sort(raw.begin(), raw.end());
  return joinStrings(raw, separator);
}

std::string WeatherAvailabilityIssue::telemetryReason() const {
  if (kind == Kind::locationServicesDisabled) return "location-services-disabled";
  return "authorization-" + std::to_string(static_cast<int>(status));
}

void Snapshot::apply(const VCRDataSourceResult& result) {
  struct Visitor {
    Snapshot& s;
    void operator()(const CalculatorAnswer& v) { s.calculatorResult = v; }
    void operator()(const std::vector<ContactSearchResult>& v) { s.contactResults = v; }
    void operator()(const std::vector<CalendarSearchResult>& v) { s.calendarResults = v; }
    void operator()(const std::vector<MapSearchResult>& v) { s.mapResults = v; }
    void operator()(const std::optional<WeatherSnapshot>& v) { s.weatherSnapshot = v; }
    void operator()(const DictionaryEntry& v) { s.dictionaryResult = v; }
    void operator()(const WikipediaArticle& v) { s.wikipediaArticle = v; }
    void operator()(const SourceNotice& v) { s.notices[v.source] = v.text; }
  };
  std::visit(Visitor{*this}, result);
}

bool Snapshot::hasContent(VCRDataSourceIdentifier identifier) const {
  if (notices.count(identifier)) return true;
  switch (identifier) {
    case VCRDataSourceIdentifier::calculator:
      return calculatorResult.has_value();
    case VCRDataSourceIdentifier::contacts:
      return !contactResults.empty();
    case VCRDataSourceIdentifier::calendar:
      return !calendarResults.empty();
    case VCRDataSourceIdentifier::maps:
      return !mapResults.empty();
    case VCRDataSourceIdentifier::weather:
      return weatherSnapshot.has_value();
    case VCRDataSourceIdentifier::dictionary:
      return dictionaryResult.has_value();
    case VCRDataSourceIdentifier::wikipedia:
      return wikipediaArticle.has_value();
    default:
      return false;
  }
}

std::optional<LocationCoordinate> CalendarSearchResult::structuredCoordinate() const {
  if (!structuredLocationInfo) return std::nullopt;
  LocationCoordinate c{structuredLocationInfo->latitude, structuredLocationInfo->longitude};
  if (!isValidCoordinate(c)) return std::nullopt;
  return c;
}

std::optional<std::string> CalendarSearchResult::makeCalendarOpenURL(const std::string& timeZoneId) const {
  const std::string& id = calendarItemIdentifier.empty() ? identifier : calendarItemIdentifier;
  if (id.empty()) return std::nullopt;
  std::string url = "ical://ekevent";
  if (hasRecurrenceRules) {
    url += "/" + formatDate(startDate, "yyyyMMdd'T'HHmmss'Z'", isAllDay ? timeZoneId : std::string("UTC"));
  }
  url += "/" + percentEncode(id) + "?method=show&options=more";
  return url;
}

const char* widgetContentStateName(WidgetContentState state) {
  switch (state) {
    case WidgetContentState::idle:
      return "idle";
    case WidgetContentState::loading:
      return "loading";
    case WidgetContentState::ready:
      return "ready";
    case WidgetContentState::noResults:
      return "noResults";
  }
  return "idle";
}

const char* activationModeName(ActivationMode mode) {
  return mode == ActivationMode::full ? "full" : "nonRouter";
}

}  // namespace pallix
