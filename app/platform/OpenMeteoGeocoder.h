// OpenMeteoGeocoder: town and city search over Open-Meteo's keyless
// geocoding API ("/v1/search"), which also names each place's time zone.
// The weather source uses it for "weather in Paris". It does not reverse
// geocode (that is NominatimPlaceSearch's). The base URL is configuration
// ("OpenMeteoGeocoder.baseURL").
//
// Threading: any thread; completions run on the HTTP client's thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/platform/HttpClient.h"
#include "app/platform/PlaceSearch.h"

namespace pallix {

class OpenMeteoGeocoder final : public PlaceSearch {
 public:
  static constexpr const char* kBaseURLKey = "OpenMeteoGeocoder.baseURL";
  static constexpr const char* kDefaultBaseURL = "https://geocoding-api.open-meteo.com";

  OpenMeteoGeocoder(std::shared_ptr<HttpClient> http, std::string baseURL, Duration timeout = std::chrono::seconds(6));

  TaskHandle search(const PlaceSearchRequest& request, PlaceSearchCompletion completion) override;
  TaskHandle reverseGeocode(const LocationCoordinate& coordinate, const std::string& language,
                            ReverseGeocodeCompletion completion) override;

  static Result<std::vector<MapItem>> parseResults(std::string_view body);

 private:
  std::shared_ptr<HttpClient> http_;
  std::string baseURL_;
  Duration timeout_;
};

}  // namespace pallix
