// `pallix location set PLACE`, `pallix location clear`, `pallix location show`:
// the place used as the current location when there is no location service.
#include <iostream>

#include "cli/Command.h"
#include "cli/Display.h"
#include "cli/SourceCommandSupport.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix location set PLACE...\n"
    "       pallix location clear\n"
    "       pallix location show [--json]\n\n"
    "set    looks PLACE up once with the place search and stores it (SystemLocationProvider.fixedPlace);\n"
    "       weather for the current location then uses it, and place searches are biased to it.\n"
    "clear  forgets it: the location comes from GeoClue, where there is one, or is unknown.\n"
    "show   the place in use and where it comes from.\n\n"
    "Exit status: 0 done, 1 the place was not found, 2 usage error, 3 set with the maps source switched\n"
    "off (DataSourcePreferences.mapsEnabled).\n";

const char* availabilityName(LocationService::Availability a) {
  switch (a) {
    case LocationService::Availability::available:
      return "available";
    case LocationService::Availability::denied:
      return "denied";
    case LocationService::Availability::unavailable:
      return "unavailable";
  }
  return "unavailable";
}

int runLocation(Args& args) {
  const bool json = args.flag("--json");
  auto rest = args.positionals();
  if (args.failed()) return usageError("location", args.failure());
  if (rest.empty()) return usageError("location", "missing subcommand (set, clear or show)");
  SourceCommandRuntime rt;
  const std::string& sub = rest[0];
  if (sub == "set") {
    if (rest.size() < 2) return usageError("location", "set needs a place");
    const std::string text = joinStrings(std::vector<std::string>(rest.begin() + 1, rest.end()), " ");
    if (rt.reportSwitchedOff("location set", "maps", DataSourcePreferences::kMapsEnabledKey)) {
      return kExitUnavailable;
    }
    if (!rt.sources->placeSearch) {
      printError("location: no place search is available");
      return kExitUnavailable;
    }
    PlaceSearchRequest request;
    request.text = text;
    request.limit = 1;
    std::optional<Result<std::vector<MapItem>>> found;
    rt.sources->placeSearch->search(request, [&](Result<std::vector<MapItem>> r) { found = std::move(r); });
    rt.runUntil([&] { return found.has_value(); });
    if (found && !found->ok() && isPlaceSearchRateLimited(found->error())) {
      printError("location: " + found->error().description());
      return exitStatusFor(found->error());
    }
    if (!found || !found->ok() || found->value().empty()) {
      printError("location: " + inQuotes(text) + " was not found" +
                     (found && !found->ok() ? " (" + found->error().description() + ")" : ""),
                 "Try a town name or a full address.");
      return kExitFailure;
    }
    const MapItem& item = found->value().front();
    SystemLocationProvider::FixedPlace place{item.name, item.coordinate, item.timeZone};
    if (item.locality && *item.locality != item.name) place.name += ", " + *item.locality;
    Status stored = SystemLocationProvider::setFixedPlace(*rt.defaults, place);
    if (!stored.ok()) {
      printError("location: cannot store the place: " + stored.error().description());
      return exitStatusFor(stored.error());
    }
    if (json) {
      printJson(
          {{"name", place.name}, {"latitude", place.coordinate.latitude}, {"longitude", place.coordinate.longitude}});
    } else {
      std::cout << "Location set to " << printable(place.name)
                << stringPrintf(" (%.4f, %.4f)\n", place.coordinate.latitude, place.coordinate.longitude);
    }
    return kExitOk;
  }
  if (rest.size() != 1) return usageError("location", sub + " takes no arguments");
  if (sub == "clear") {
    Status cleared = SystemLocationProvider::clearFixedPlace(*rt.defaults);
    if (!cleared.ok()) {
      printError("location: " + cleared.error().description());
      return exitStatusFor(cleared.error());
    }
    std::cout << "Location cleared.\n";
    return kExitOk;
  }
  if (sub == "show") {
    auto provider = rt.sources->locationProvider();
    const auto& fixed = provider->fixed();
    if (json) {
      nlohmann::json out = {{"source", fixed ? "fixed" : "geoclue"},
                            {"geoclue", availabilityName(provider->availability())},
                            {"authorization", static_cast<int>(provider->authorizationStatus())},
                            {"servicesEnabled", provider->locationServicesEnabled()}};
      if (fixed) {
        out["place"] = {{"name", fixed->name},
                        {"latitude", fixed->coordinate.latitude},
                        {"longitude", fixed->coordinate.longitude}};
      }
      printJson(out);
    } else if (fixed) {
      std::cout << "Fixed place: " << printable(fixed->name)
                << stringPrintf(" (%.4f, %.4f)\n", fixed->coordinate.latitude, fixed->coordinate.longitude);
    } else {
      std::cout << "No fixed place; GeoClue is " << availabilityName(provider->availability()) << ".\n";
    }
    return kExitOk;
  }
  return usageError("location", "unknown subcommand " + inQuotes(sub));
}

}  // namespace

PALLIX_COMMAND("location", "set, clear or show the place used as the current location", kUsage, runLocation);

}  // namespace pallix::cli
