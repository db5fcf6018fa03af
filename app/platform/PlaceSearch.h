// PlaceSearch: natural-language place search and reverse geocoding, the
// platform map search of the weather and maps sources. MapItem is what both
// answer with. NominatimPlaceSearch (places and reverse geocoding) and
// OpenMeteoGeocoder (towns, with their time zone) are the real ones.
//
// Threading: both operations may be called from any thread; completions run
// on a thread of the implementation, exactly once unless the returned handle
// was cancelled (then they may be dropped).
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/platform/GeoTypes.h"
#include "core/Error.h"
#include "core/TaskRunner.h"

namespace pallix {

struct MapItem {
  std::string name;
  LocationCoordinate coordinate;
  std::optional<std::string> locality;      // city, town or village
  std::optional<std::string> shortAddress;  // "10 Downing Street, London"
  std::optional<std::string> fullAddress;
  std::optional<std::string> country;
  std::optional<std::string> timeZone;  // Olson name, when the provider knows it
  std::optional<std::string> url;       // a web page of the place
  friend bool operator==(const MapItem&, const MapItem&) = default;
};

enum class PlaceResultType { address, pointOfInterest };

struct PlaceSearchRegion {
  LocationCoordinate center;
  double radiusMetres = 0;
};

struct PlaceSearchRequest {
  std::string text;
  std::set<PlaceResultType> resultTypes;    // empty: any
  std::optional<PlaceSearchRegion> region;  // a bias, not a bound
  int limit = 5;
  std::string language = "en";
};

inline constexpr const char* kPlaceSearchErrorDomain = "PlaceSearchError";
enum class PlaceSearchErrorCode { notFound = 1, unsupported = 2, badAnswer = 3, serviceFailed = 4, rateLimited = 5 };
// A rateLimited error: "The place search is rate limited, try again in N s" (or "later" without a Retry-After).
Error placeSearchRateLimited(std::optional<int64_t> retryAfterSeconds);
bool isPlaceSearchRateLimited(const Error& error);

using PlaceSearchCompletion = std::function<void(Result<std::vector<MapItem>>)>;
using ReverseGeocodeCompletion = std::function<void(Result<MapItem>)>;

class PlaceSearch {
 public:
  virtual ~PlaceSearch() = default;
  virtual TaskHandle search(const PlaceSearchRequest& request, PlaceSearchCompletion completion) = 0;
  virtual TaskHandle reverseGeocode(const LocationCoordinate& coordinate, const std::string& language,
                                    ReverseGeocodeCompletion completion) = 0;
};

}  // namespace pallix
