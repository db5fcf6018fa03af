#include "app/platform/OpenMeteoGeocoder.h"

#include <nlohmann/json.hpp>

namespace pallix {

namespace {

std::optional<std::string> text(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string() || it->get<std::string>().empty()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

OpenMeteoGeocoder::OpenMeteoGeocoder(std::shared_ptr<HttpClient> http, std::string baseURL, Duration timeout)
    : http_(std::move(http)), baseURL_(std::move(baseURL)), timeout_(timeout) {}

Result<std::vector<MapItem>> OpenMeteoGeocoder::parseResults(std::string_view body) {
  nlohmann::json answer = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded() || !answer.is_object()) {
    return Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::badAnswer),
                 "The geocoding service answered with malformed JSON");
  }
  std::vector<MapItem> items;
  auto results = answer.find("results");
  if (results == answer.end() || !results->is_array()) return items;  // no match: the key is absent
  for (const auto& r : *results) {
    if (!r.is_object()) continue;
    auto name = text(r, "name");
    auto lat = r.find("latitude");
    auto lon = r.find("longitude");
    if (!name || lat == r.end() || lon == r.end() || !lat->is_number() || !lon->is_number()) continue;
    MapItem item;
    item.name = *name;
    item.coordinate = LocationCoordinate{lat->get<double>(), lon->get<double>()};
    if (!isValidCoordinate(item.coordinate)) continue;
    item.locality = name;
    item.country = text(r, "country");
    item.timeZone = text(r, "timezone");
    std::string address;
    for (const auto& part : {text(r, "admin1"), item.country}) {
      if (part && *part != item.name) address += (address.empty() ? "" : ", ") + *part;
    }
    if (!address.empty()) item.shortAddress = address;
    item.fullAddress = item.name + (address.empty() ? "" : ", " + address);
    items.push_back(std::move(item));
  }
  return items;
}

TaskHandle OpenMeteoGeocoder::search(const PlaceSearchRequest& request, PlaceSearchCompletion completion) {
  auto url = buildURL(baseURL_, "/v1/search",
                      {{"name", request.text},
                       {"count", std::to_string(std::max(request.limit, 1))},
                       {"language", request.language},
                       {"format", "json"}});
  if (!url.ok()) {
    completion(url.error());
    return TaskHandle();
  }
  HttpRequest http;
  http.url = url.value();
  http.headers = {{"Accept", "application/json"}};
  http.timeout = timeout_;
  http.maxBodyBytes = 1u << 20;
  return http_->get(std::move(http), [completion = std::move(completion)](Result<HttpResponse> response) {
    if (!response.ok()) return completion(response.error());
    if (response->statusCode != 200) {
      return completion(Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::serviceFailed),
                              "The geocoding service returned status " + std::to_string(response->statusCode)));
    }
    completion(parseResults(response->body));
  });
}

TaskHandle OpenMeteoGeocoder::reverseGeocode(const LocationCoordinate&, const std::string&,
                                             ReverseGeocodeCompletion completion) {
  completion(Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::unsupported),
                   "The Open-Meteo geocoder does not reverse geocode"));
  return TaskHandle();
}

}  // namespace pallix
