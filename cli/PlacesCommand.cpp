// `pallix places QUERY [--json]`: the maps source alone.
#include <iostream>

#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/IntelligenceDisplay.h"
#include "cli/SourceCommandSupport.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

int runPlaces(Args& args) {
  const bool json = args.flag("--json");
  auto words = args.positionals();
  if (args.failed()) return usageError("places", args.failure());
  const std::string query = joinStrings(words, " ");
  if (words.empty()) return usageError("places", "needs what to look for (\"pharmacy near me\", an address)");
  SourceCommandRuntime rt;
  if (rt.reportSwitchedOff("places", "maps", DataSourcePreferences::kMapsEnabledKey)) return kExitUnavailable;
  if (!rt.sources->maps) {
    printError("places: no web client is available");
    return kExitUnavailable;
  }
  std::optional<Result<std::vector<MapSearchResult>>> found;
  rt.sources->maps->findPlaces(query, [&](Result<std::vector<MapSearchResult>> r) { found = std::move(r); });
  rt.runUntil([&] { return found.has_value(); });
  if (found && !found->ok() && isPlaceSearchRateLimited(found->error())) {
    if (json) printJson(nlohmann::json::array());
    printError("places: " + found->error().description(),
               "The place search (" + rt.sources->endpoints().places + ") allows a few requests at a time.");
    return exitStatusFor(found->error());
  }
  const std::vector<MapSearchResult> places = found && found->ok() ? found->value() : std::vector<MapSearchResult>{};
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& p : places) out.push_back(placeJson(p));
    printJson(out);
  }
  if (places.empty()) {
    printError("places: nothing found for " + inQuotes(query),
               "Try other words, or check the network (" + rt.sources->endpoints().places + ").");
    return kExitFailure;
  }
  if (!json) {
    for (const std::string& line : placeLines(places)) std::cout << line << "\n";
  }
  return kExitOk;
}

}  // namespace

PALLIX_COMMAND("places", "search places and addresses",
               "Usage: pallix places QUERY... [--json]\n\n"
               "Looks QUERY up with the Nominatim place search (NominatimPlaceSearch.baseURL): at most three\n"
               "addresses and points of interest, near the current location when one is known.\n\n"
               "  --json   print the places as JSON (name, subtitle, address, latitude, longitude, url)\n\n"
               "Exit status: 0 found, 1 nothing found or rate limited, 2 usage error, 3 the maps source switched\n"
               "off (DataSourcePreferences.mapsEnabled).\n",
               runPlaces);

}  // namespace pallix::cli
