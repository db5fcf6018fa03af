#include "cli/IntelligenceDisplay.h"

#include <cmath>

#include "app/intelligence/DateFormatting.h"
#include "cli/Display.h"
#include "core/Strings.h"

namespace pallix::cli {

namespace {

using Id = VCRDataSourceIdentifier;

std::string degrees(double celsius) {
  const long rounded = std::lround(celsius);
  return std::to_string(rounded == 0 ? 0 : rounded) + " \u00B0C";
}

std::string percent(double fraction) {
  return std::to_string(std::lround(fraction * 100)) + "%";
}

std::string zoneOf(const WeatherSnapshot& s) {
  return s.location.timeZone.value_or("");
}

std::string windText(const std::optional<WindSummary>& wind) {
  if (!wind) return "";
  std::string text = "wind " + std::to_string(std::lround(wind->speed)) + " km/h";
  if (wind->direction && !wind->direction->empty()) text += " " + *wind->direction;
  if (wind->gust && *wind->gust > wind->speed + 5) text += ", gusts " + std::to_string(std::lround(*wind->gust));
  return text;
}

const char* widgetTitle(Id id) {
  switch (id) {
    case Id::calculator:
      return "Calculator";
    case Id::contacts:
      return "Contacts";
    case Id::calendar:
      return "Calendar";
    case Id::maps:
      return "Places";
    case Id::weather:
      return "Weather";
    case Id::dictionary:
      return "Dictionary";
    case Id::wikipedia:
      return "Wikipedia";
    default:
      return "";
  }
}

nlohmann::json optionalJson(const std::optional<double>& v) {
  return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

nlohmann::json windJson(const std::optional<WindSummary>& w) {
  if (!w) return nullptr;
  nlohmann::json j = {{"speedKmh", w->speed}};
  if (w->gust) j["gustKmh"] = *w->gust;
  if (w->direction) j["direction"] = *w->direction;
  return j;
}

}  // namespace

std::vector<std::string> weatherLines(const WeatherSnapshot& s) {
  std::vector<std::string> lines;
  std::string place = s.location.name.empty() ? "Here" : s.location.name;
  if (s.location.detail && !s.location.detail->empty()) place += " (" + *s.location.detail + ")";
  const std::string zone = zoneOf(s);
  if (s.current) {
    const auto& c = *s.current;
    std::string line = "Weather: " + printable(place) + ": " + degrees(c.temperature) + ", " + printable(c.condition);
    if (c.apparentTemperature && std::lround(*c.apparentTemperature) != std::lround(c.temperature)) {
      line += ", feels like " + degrees(*c.apparentTemperature);
    }
    if (c.highTemperature && c.lowTemperature) {
      line += "; high " + degrees(*c.highTemperature) + ", low " + degrees(*c.lowTemperature);
    }
    lines.push_back(line);
    std::vector<std::string> details;
    if (c.humidity) details.push_back("humidity " + percent(*c.humidity));
    if (auto w = windText(c.wind); !w.empty()) details.push_back(w);
    if (c.uvIndex) details.push_back("UV " + std::to_string(*c.uvIndex));
    if (!details.empty()) lines.push_back("  " + joinStrings(details, ", "));
  } else {
    lines.push_back("Weather: " + printable(place));
  }
  const bool laterDays = s.focus == WeatherForecastFocus::day || s.focus == WeatherForecastFocus::weekend;
  if (!s.hourly.empty() && s.focus != WeatherForecastFocus::tomorrow && !laterDays) {
    std::vector<std::string> hours;
    const size_t shown = s.focus == WeatherForecastFocus::nextHour ? 2 : 6;
    // Hours around a named later time ("tonight", "at 9pm") are not the next ones.
    const bool fromNow = !s.current || s.hourly.front().date <= s.current->date;
    for (size_t i = 0; i < s.hourly.size() && hours.size() < shown; ++i) {
      const auto& h = s.hourly[i];
      std::string text = formatDate(h.date, "HH:mm", zone) + " " + degrees(h.temperature);
      if (h.precipitationChance && *h.precipitationChance >= 0.1) text += " rain " + percent(*h.precipitationChance);
      hours.push_back(text);
    }
    lines.push_back((fromNow ? "  Next hours: " : "  Hours: ") + joinStrings(hours, ", "));
  }
  if (!s.daily.empty()) {
    // The days of a later-day question are only the days asked about.
    const size_t first = s.focus == WeatherForecastFocus::tomorrow && s.daily.size() > 1 ? 1 : 0;
    const size_t count = laterDays ? s.daily.size() : s.focus == WeatherForecastFocus::current ? 3 : 1;
    for (size_t i = first; i < s.daily.size() && i < first + count; ++i) {
      const auto& d = s.daily[i];
      std::string label = laterDays ? formatDate(d.date, "EEE d MMM", zone, "en_GB")
                          : i == 0  ? "Today"
                          : i == 1  ? "Tomorrow"
                                    : formatDate(d.date, "EEE d MMM", zone, "en_GB");
      std::string text = "  " + label + ": " + degrees(d.highTemperature) + " / " + degrees(d.lowTemperature);
      if (d.precipitationChance) text += ", rain " + percent(*d.precipitationChance);
      if (d.sunrise && d.sunset) {
        text += ", sun " + formatDate(*d.sunrise, "HH:mm", zone) + "\u2013" + formatDate(*d.sunset, "HH:mm", zone);
      }
      lines.push_back(text);
    }
  }
  return lines;
}

std::string weatherIssueLine(const WeatherAvailabilityIssue& issue) {
  if (issue.kind == WeatherAvailabilityIssue::Kind::locationServicesDisabled) {
    return "Weather: the current location is unknown (no location service); set a place with 'pallix location set "
           "PLACE' or ask for a place ('weather in Paris')";
  }
  return "Weather: location access is denied; set a place with 'pallix location set PLACE' or ask for a place";
}

std::vector<std::string> placeLines(const std::vector<MapSearchResult>& places) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < places.size(); ++i) {
    const auto& p = places[i];
    std::string line = (i == 0 ? "Places: " : "        ") + std::to_string(i + 1) + ". " + printable(p.name);
    if (p.subtitle && !p.subtitle->empty()) line += " \u2014 " + printable(*p.subtitle);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> calendarLines(const std::vector<CalendarSearchResult>& events) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < events.size(); ++i) {
    const auto& e = events[i];
    std::string line = (i == 0 ? "Calendar: " : "          ") + printable(e.title) + " \u2014 " +
                       e.relativeDateDescription + " (" + e.primaryDateDescription + ") " + e.timeRangeDescription;
    if (e.location && !e.location->empty()) line += " at " + printable(*e.location);
    if (e.calendarTitle) line += " [" + printable(*e.calendarTitle) + "]";
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> contactLines(const std::vector<ContactSearchResult>& contacts) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < contacts.size(); ++i) {
    const auto& c = contacts[i];
    std::string line = (i == 0 ? "Contacts: " : "          ") + printable(c.name);
    if (!c.detail.empty()) line += " \u2014 " + printable(c.detail);
    const std::string& org = c.contact.organizationName;
    if (!org.empty() && org != c.detail && org != c.name) line += " (" + printable(org) + ")";
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> dictionaryLines(const DictionaryEntry& entry) {
  std::vector<std::string> lines = {"Dictionary: " + printable(entry.term)};
  for (const std::string& sense : splitString(entry.definition, '\n')) lines.push_back("  " + printable(sense));
  return lines;
}

std::vector<std::string> wikipediaLines(const WikipediaArticle& article) {
  std::string extract = article.extract;
  if (extract.size() > 400) {
    size_t cut = 400;
    while (cut > 0 && (static_cast<unsigned char>(extract[cut]) & 0xC0) == 0x80) --cut;
    extract = extract.substr(0, cut) + "\u2026";
  }
  return {"Wikipedia: " + printable(article.title), "  " + printable(extract), "  " + printable(article.url)};
}

std::vector<std::string> widgetLines(const IntelligencePresentationState& state,
                                     const std::map<Id, WidgetContentState>& widgetStates) {
  std::vector<std::string> lines;
  auto append = [&](std::vector<std::string> more) { lines.insert(lines.end(), more.begin(), more.end()); };
  if (state.weatherAvailabilityIssue && !state.weatherSnapshot)
    lines.push_back(weatherIssueLine(*state.weatherAvailabilityIssue));
  if (state.weatherSnapshot) append(weatherLines(*state.weatherSnapshot));
  if (!state.contactResults.empty()) append(contactLines(state.contactResults));
  if (!state.calendarResults.empty()) append(calendarLines(state.calendarResults));
  if (!state.mapResults.empty()) append(placeLines(state.mapResults));
  for (const auto& [id, text] : state.notices) lines.push_back(std::string(widgetTitle(id)) + ": " + printable(text));
  if (state.dictionaryResult) append(dictionaryLines(*state.dictionaryResult));
  if (state.wikipediaArticle) append(wikipediaLines(*state.wikipediaArticle));
  std::vector<std::string> loading, empty;
  for (const auto& [id, widget] : widgetStates) {
    if (id == Id::calculator) continue;
    if (widget == WidgetContentState::loading) loading.push_back(widgetTitle(id));
    if (widget == WidgetContentState::noResults && !(id == Id::weather && state.weatherAvailabilityIssue)) {
      empty.push_back(widgetTitle(id));
    }
  }
  if (!loading.empty()) lines.push_back("Still loading: " + joinStrings(loading, ", "));
  if (!empty.empty()) lines.push_back("No answer from: " + joinStrings(empty, ", "));
  return lines;
}

nlohmann::json weatherJson(const WeatherSnapshot& s) {
  nlohmann::json location = {{"name", s.location.name},
                             {"latitude", s.location.coordinate.latitude},
                             {"longitude", s.location.coordinate.longitude}};
  if (s.location.detail) location["detail"] = *s.location.detail;
  if (s.location.timeZone) location["timeZone"] = *s.location.timeZone;
  nlohmann::json kinds = nlohmann::json::array();
  for (WeatherDataKind k : s.requestedKinds) kinds.push_back(weatherDataKindRawValue(k));
  nlohmann::json j = {
      {"location", location}, {"requestedKinds", kinds}, {"focus", weatherForecastFocusRawValue(s.focus)}};
  if (s.focusStart) j["focusStart"] = secondsSince1970(*s.focusStart);
  if (s.focusEnd) j["focusEnd"] = secondsSince1970(*s.focusEnd);
  if (s.current) {
    const auto& c = *s.current;
    j["current"] = {{"date", secondsSince1970(c.date)},
                    {"condition", c.condition},
                    {"symbolName", c.symbolName},
                    {"temperatureCelsius", c.temperature},
                    {"apparentTemperatureCelsius", optionalJson(c.apparentTemperature)},
                    {"highTemperatureCelsius", optionalJson(c.highTemperature)},
                    {"lowTemperatureCelsius", optionalJson(c.lowTemperature)},
                    {"humidity", optionalJson(c.humidity)},
                    {"pressureHectopascals", optionalJson(c.pressure)},
                    {"dewPointCelsius", optionalJson(c.dewPoint)},
                    {"visibilityMetres", optionalJson(c.visibility)},
                    {"uvIndex", c.uvIndex ? nlohmann::json(*c.uvIndex) : nlohmann::json(nullptr)},
                    {"wind", windJson(c.wind)}};
  }
  j["hourly"] = nlohmann::json::array();
  for (const auto& h : s.hourly) {
    j["hourly"].push_back({{"date", secondsSince1970(h.date)},
                           {"symbolName", h.symbolName},
                           {"temperatureCelsius", h.temperature},
                           {"precipitationChance", optionalJson(h.precipitationChance)},
                           {"wind", windJson(h.wind)}});
  }
  j["daily"] = nlohmann::json::array();
  for (const auto& d : s.daily) {
    nlohmann::json day = {{"date", secondsSince1970(d.date)},
                          {"symbolName", d.symbolName},
                          {"highTemperatureCelsius", d.highTemperature},
                          {"lowTemperatureCelsius", d.lowTemperature},
                          {"precipitationChance", optionalJson(d.precipitationChance)},
                          {"wind", windJson(d.wind)}};
    if (d.sunrise) day["sunrise"] = secondsSince1970(*d.sunrise);
    if (d.sunset) day["sunset"] = secondsSince1970(*d.sunset);
    j["daily"].push_back(day);
  }
  j["minute"] = nlohmann::json::array();
  for (const auto& m : s.minute) {
    j["minute"].push_back(
        {{"date", secondsSince1970(m.date)}, {"precipitationMillimetresPerHour", m.precipitationIntensity}});
  }
  j["alerts"] = nlohmann::json::array();
  for (const auto& a : s.alerts) j["alerts"].push_back({{"id", a.id}, {"title", a.title}, {"severity", a.severity}});
  return j;
}

nlohmann::json placeJson(const MapSearchResult& p) {
  nlohmann::json j = {
      {"name", p.name}, {"latitude", p.mapItem.coordinate.latitude}, {"longitude", p.mapItem.coordinate.longitude}};
  if (p.subtitle) j["subtitle"] = *p.subtitle;
  if (p.mapItem.fullAddress) j["address"] = *p.mapItem.fullAddress;
  if (p.mapItem.locality) j["locality"] = *p.mapItem.locality;
  if (p.mapItem.country) j["country"] = *p.mapItem.country;
  if (p.mapItem.url) j["url"] = *p.mapItem.url;
  return j;
}

nlohmann::json calendarJson(const CalendarSearchResult& e) {
  nlohmann::json j = {{"identifier", e.identifier},
                      {"calendarItemIdentifier", e.calendarItemIdentifier},
                      {"title", e.title},
                      {"startDate", secondsSince1970(e.startDate)},
                      {"endDate", secondsSince1970(e.endDate)},
                      {"isAllDay", e.isAllDay},
                      {"hasRecurrenceRules", e.hasRecurrenceRules},
                      {"primaryDateDescription", e.primaryDateDescription},
                      {"relativeDateDescription", e.relativeDateDescription},
                      {"timeRangeDescription", e.timeRangeDescription},
                      {"calendarTypeDescription", e.calendarTypeDescription}};
  if (e.calendarTitle) j["calendarTitle"] = *e.calendarTitle;
  if (e.location) j["location"] = *e.location;
  if (e.notesSummary) j["notesSummary"] = *e.notesSummary;
  if (e.meetingURL) j["meetingURL"] = *e.meetingURL;
  if (e.structuredLocationInfo) {
    j["structuredLocation"] = {{"title", e.structuredLocationInfo->title},
                               {"latitude", e.structuredLocationInfo->latitude},
                               {"longitude", e.structuredLocationInfo->longitude}};
  }
  if (auto url = e.makeCalendarOpenURL()) j["openURL"] = *url;
  if (e.sourcePath) j["file"] = *e.sourcePath;
  return j;
}

nlohmann::json contactJson(const ContactSearchResult& c) {
  auto labeled = [](const std::vector<LabeledValue>& values) {
    nlohmann::json out = nlohmann::json::array();
    for (const LabeledValue& v : values) out.push_back({{"label", v.label}, {"value", v.value}});
    return out;
  };
  const ContactRecord& r = c.contact;
  nlohmann::json j = {{"identifier", c.identifier},
                      {"name", c.name},
                      {"detail", c.detail},
                      {"phoneNumbers", labeled(r.phoneNumbers)},
                      {"emailAddresses", labeled(r.emailAddresses)},
                      {"urlAddresses", r.urlAddresses},
                      {"hasPhoto", r.thumbnailImageData.has_value()}};
  for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"givenName", &r.givenName},
                                   {"middleName", &r.middleName},
                                   {"familyName", &r.familyName},
                                   {"nickname", &r.nickname},
                                   {"organizationName", &r.organizationName},
                                   {"departmentName", &r.departmentName}}) {
    if (!value->empty()) j[key] = *value;
  }
  return j;
}

nlohmann::json dictionaryJson(const DictionaryEntry& entry) {
  return {{"term", entry.term}, {"definition", entry.definition}};
}

nlohmann::json wikipediaJson(const WikipediaArticle& a) {
  nlohmann::json j = {{"title", a.title}, {"extract", a.extract}, {"url", a.url}, {"query", a.query}};
  if (a.thumbnailURL) j["thumbnailURL"] = *a.thumbnailURL;
  return j;
}

nlohmann::json intelligenceJson(const IntelligencePresentationState& state,
                                const std::map<Id, WidgetContentState>& widgetStates) {
  nlohmann::json out = {{"selected", nlohmann::json::array()}, {"widgets", nlohmann::json::object()}};
  for (Id id : state.selectedIdentifiers) out["selected"].push_back(dataSourceIdentifierRawValue(id));
  for (const auto& [id, widget] : widgetStates) {
    if (widget == WidgetContentState::idle) continue;
    out["widgets"][dataSourceIdentifierRawValue(id)] = widgetContentStateName(widget);
  }
  if (state.calculatorResult) {
    out["calculator"] = {{"value", state.calculatorResult->value},
                         {"formattedValue", state.calculatorResult->formattedValue}};
    if (state.calculatorResult->detail) out["calculator"]["detail"] = *state.calculatorResult->detail;
  }
  if (state.weatherSnapshot) out["weather"] = weatherJson(*state.weatherSnapshot);
  if (state.weatherAvailabilityIssue)
    out["weatherAvailabilityIssue"] = state.weatherAvailabilityIssue->telemetryReason();
  if (!state.mapResults.empty()) {
    out["maps"] = nlohmann::json::array();
    for (const auto& p : state.mapResults) out["maps"].push_back(placeJson(p));
  }
  if (!state.contactResults.empty()) {
    out["contacts"] = nlohmann::json::array();
    for (const auto& c : state.contactResults) out["contacts"].push_back(contactJson(c));
  }
  if (!state.calendarResults.empty()) {
    out["calendar"] = nlohmann::json::array();
    for (const auto& e : state.calendarResults) out["calendar"].push_back(calendarJson(e));
  }
  if (state.dictionaryResult) out["dictionary"] = dictionaryJson(*state.dictionaryResult);
  if (state.wikipediaArticle) out["wikipedia"] = wikipediaJson(*state.wikipediaArticle);
  for (const auto& [id, text] : state.notices) out["notices"][dataSourceIdentifierRawValue(id)] = text;
  return out;
}

std::vector<std::string> intelligenceLines(const PanelIntelligenceStore* store) {
  std::vector<std::string> lines;
  if (!store) return lines;
  const IntelligencePresentationState& state = store->intelligenceState();
  if (state.calculatorResult) {
    std::string line = "= " + state.calculatorResult->formattedValue;
    if (state.calculatorResult->detail) line += "   (" + *state.calculatorResult->detail + ")";
    lines.push_back(line);
  }
  std::string selected;
  for (VCRDataSourceIdentifier id : state.selectedIdentifiers) {
    if (id == VCRDataSourceIdentifier::calculator) continue;
    selected += (selected.empty() ? "" : ", ") + std::string(dataSourceIdentifierRawValue(id));
  }
  for (const std::string& line : widgetLines(state, store->widgetStates())) lines.push_back(line);
  if (!selected.empty()) lines.push_back("Sources: " + selected);
  return lines;
}

}  // namespace pallix::cli
