// `pallix weather [PLACE] [--json]`: the weather source alone.
#include <iostream>

#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/SourceCommandSupport.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

int runWeather(Args& args) {
  const bool json = args.flag("--json");
  auto words = args.positionals();
  if (args.failed()) return usageError("weather", args.failure());
  SourceCommandRuntime rt;
  if (rt.reportSwitchedOff("weather", "weather", DataSourcePreferences::kWeatherEnabledKey)) return kExitUnavailable;
  if (!rt.sources->weather) {
    printError("weather: no forecast service is available");
    return kExitUnavailable;
  }
  const std::string place = joinStrings(words, " ");
  if (place.empty()) {
    auto provider = rt.sources->locationProvider();
    if (!isLocationAuthorized(provider->authorizationStatus()) || !provider->locationServicesEnabled()) {
      printError("weather: the current location is unknown (no location service, or access denied)",
                 "Name a place ('pallix weather Paris') or set one with 'pallix location set PLACE'.");
      return kExitUnavailable;
    }
  }
  // The words as a person types them: "weather in Paris tomorrow" reads the place and the time.
  const std::string query = place.empty() ? "weather" : "weather in " + place;
  std::optional<WeatherDataSource::SearchResult> result;
  rt.sources->weather->search(query, [&](WeatherDataSource::SearchResult r) { result = std::move(r); });
  rt.runUntil([&] { return result.has_value(); });
  if (!result || !result->snapshot) {
    printError("weather: no forecast for " + inQuotes(place.empty() ? "the current location" : place),
               "The place may be unknown, or the forecast service did not answer (check the network; the "
               "service is " +
                   rt.sources->endpoints().forecast + ").");
    return kExitFailure;
  }
  if (json) {
    printJson(weatherJson(*result->snapshot));
  } else {
    for (const std::string& line : weatherLines(*result->snapshot)) std::cout << line << "\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("weather", "the forecast for a place or the current location",
               "Usage: pallix weather [PLACE] [--json]\n\n"
               "Shows the current conditions and the forecast for PLACE (\"Paris\", \"Lyon tomorrow\"), or\n"
               "for the current location: the place set with 'pallix location set', else GeoClue.\n"
               "A later time shows that time: \"Paris tonight\" or \"Paris at 9pm\" the hours around it,\n"
               "\"Paris on friday\" or \"Paris this weekend\" those days.\n"
               "Forecasts come from Open-Meteo (OpenMeteoWeatherService.baseURL), place names from its\n"
               "geocoding API (OpenMeteoGeocoder.baseURL); a town with its region (\"Portland, Maine\",\n"
               "\"Dover UK\") from the place search (NominatimPlaceSearch.baseURL).\n\n"
               "  --json   print the forecast snapshot as JSON\n\n"
               "Exit status: 0 forecast shown, 1 no forecast, 2 usage error, 3 no location known or the weather\n"
               "source switched off (DataSourcePreferences.weatherEnabled).\n",
               runWeather);

}  // namespace pallix::cli
