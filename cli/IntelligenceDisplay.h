// IntelligenceDisplay: how the commands and the terminal panel show the
// intelligence widgets (weather, places, calendar, contacts, dictionary,
// encyclopedia, calculator) to a person, and as JSON for scripts. Human lines escape
// outside text with printable(); JSON carries the values exactly.
//
// Pure functions; used on the main thread.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/intelligence/IntelligenceTypes.h"
#include "app/intelligence/PanelIntelligenceStore.h"

namespace pallix::cli {

// One widget per block: "Weather: Paris (Île-de-France): 12 °C, Light Rain ...".
std::vector<std::string> weatherLines(const WeatherSnapshot& snapshot);
std::vector<std::string> placeLines(const std::vector<MapSearchResult>& places);
std::vector<std::string> calendarLines(const std::vector<CalendarSearchResult>& events);
// "Contacts: John Doe — +1 555 0100 (Acme)", one line per contact.
std::vector<std::string> contactLines(const std::vector<ContactSearchResult>& contacts);
std::vector<std::string> dictionaryLines(const DictionaryEntry& entry);
std::vector<std::string> wikipediaLines(const WikipediaArticle& article);
// What a weather widget says when weather cannot be shown, and what to do.
std::string weatherIssueLine(const WeatherAvailabilityIssue& issue);

// Every widget of the store's state with content, then the loading and
// empty ones ("Weather: loading...", "Places: no results").
std::vector<std::string> widgetLines(const IntelligencePresentationState& state,
                                     const std::map<VCRDataSourceIdentifier, WidgetContentState>& widgetStates);

// The answers of a settled query, one line each ("= 14", "Weather: ...",
// "Sources: weather, maps"); none without a store.
std::vector<std::string> intelligenceLines(const PanelIntelligenceStore* store);

nlohmann::json weatherJson(const WeatherSnapshot& snapshot);
nlohmann::json placeJson(const MapSearchResult& place);
nlohmann::json calendarJson(const CalendarSearchResult& event);
nlohmann::json contactJson(const ContactSearchResult& contact);
nlohmann::json dictionaryJson(const DictionaryEntry& entry);
nlohmann::json wikipediaJson(const WikipediaArticle& article);
// {"selected": [...], "widgets": {"weather": {"state": "ready", ...}, ...}, "calculator": ..., "weather": ...}
nlohmann::json intelligenceJson(const IntelligencePresentationState& state,
                                const std::map<VCRDataSourceIdentifier, WidgetContentState>& widgetStates);

}  // namespace pallix::cli
