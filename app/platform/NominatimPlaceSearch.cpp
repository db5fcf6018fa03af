#include "app/platform/NominatimPlaceSearch.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/Strings.h"

namespace pallix {

namespace {

using nlohmann::json;

constexpr double kMetresPerDegree = 111320.0;

std::optional<std::string> text(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string() || it->get<std::string>().empty()) return std::nullopt;
  return it->get<std::string>();
}

// Nominatim writes coordinates as strings ("48.8566"); numbers are accepted too.
std::optional<double> degrees(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number()) return it->get<double>();
  if (!it->is_string()) return std::nullopt;
  const std::string s = it->get<std::string>();
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<MapItem> itemFrom(const json& place) {
  if (!place.is_object()) return std::nullopt;
  auto lat = degrees(place, "lat");
  auto lon = degrees(place, "lon");
  if (!lat || !lon) return std::nullopt;
  MapItem item;
  item.coordinate = LocationCoordinate{*lat, *lon};
  if (!isValidCoordinate(item.coordinate)) return std::nullopt;
  item.fullAddress = text(place, "display_name");
  const json address = place.contains("address") && place["address"].is_object() ? place["address"] : json::object();
  for (const char* key : {"city", "town", "village", "municipality", "hamlet", "suburb"}) {
    if (auto v = text(address, key)) {
      item.locality = v;
      break;
    }
  }
  item.country = text(address, "country");
  std::string street;
  if (auto road = text(address, "road")) {
    auto number = text(address, "house_number");
    street = number ? *number + " " + *road : *road;
  }
  if (!street.empty())
    item.shortAddress = item.locality ? street + ", " + *item.locality : street;
  else if (item.locality)
    item.shortAddress = item.locality;
  if (auto name = text(place, "name")) {
    item.name = *name;
  } else if (!street.empty()) {
    item.name = street;
  } else if (item.fullAddress) {
    item.name = item.fullAddress->substr(0, item.fullAddress->find(','));
  }
  if (item.name.empty()) return std::nullopt;
  auto osmType = text(place, "osm_type");
  auto osmId = place.find("osm_id");
  if (osmType && osmId != place.end() && osmId->is_number_integer()) {
    item.url = "https://www.openstreetmap.org/" + *osmType + "/" + std::to_string(osmId->get<long long>());
  }
  return item;
}

}  // namespace

Error placeSearchRateLimited(std::optional<int64_t> retryAfterSeconds) {
  return Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::rateLimited),
               "The place search is rate limited, try again " +
                   (retryAfterSeconds ? "in " + std::to_string(*retryAfterSeconds) + " s" : std::string("later")));
}

bool isPlaceSearchRateLimited(const Error& error) {
  return error.domain() == kPlaceSearchErrorDomain &&
         error.code() == static_cast<int>(PlaceSearchErrorCode::rateLimited);
}

NominatimPlaceSearch::NominatimPlaceSearch(std::shared_ptr<HttpClient> http, std::string baseURL, std::string userAgent,
                                           TaskRunnerPtr runner, std::shared_ptr<RequestSpacing> spacing,
                                           Duration timeout)
    : http_(std::move(http)),
      baseURL_(std::move(baseURL)),
      userAgent_(std::move(userAgent)),
      runner_(std::move(runner)),
      timeout_(timeout),
      spacing_(spacing ? std::move(spacing) : std::make_shared<InProcessRequestSpacing>(kMinimumInterval)) {}

NominatimPlaceSearch::~NominatimPlaceSearch() {
  *alive_ = false;
}

Result<std::string> NominatimPlaceSearch::searchURL(const PlaceSearchRequest& request) const {
  std::vector<QueryItem> items = {{"q", request.text},
                                  {"format", "jsonv2"},
                                  {"addressdetails", "1"},
                                  {"limit", std::to_string(std::max(request.limit, 1))},
                                  {"accept-language", request.language}};
  if (!request.resultTypes.empty()) {
    std::string layers;
    if (request.resultTypes.count(PlaceResultType::address)) layers += "address";
    if (request.resultTypes.count(PlaceResultType::pointOfInterest)) layers += layers.empty() ? "poi" : ",poi";
    items.push_back({"layer", layers});
  }
  if (request.region) {
    const auto& c = request.region->center;
    const double dLat = request.region->radiusMetres / kMetresPerDegree;
    const double dLon =
        request.region->radiusMetres / (kMetresPerDegree * std::max(0.01, std::cos(c.latitude * M_PI / 180.0)));
    items.push_back({"viewbox", stringPrintf("%.5f,%.5f,%.5f,%.5f", c.longitude - dLon, c.latitude + dLat,
                                             c.longitude + dLon, c.latitude - dLat)});
    items.push_back({"bounded", "0"});
  }
  return buildURL(baseURL_, "/search", items);
}

Result<std::string> NominatimPlaceSearch::reverseURL(const LocationCoordinate& coordinate,
                                                     const std::string& language) const {
  return buildURL(baseURL_, "/reverse",
                  {{"lat", stringPrintf("%.5f", coordinate.latitude)},
                   {"lon", stringPrintf("%.5f", coordinate.longitude)},
                   {"format", "jsonv2"},
                   {"addressdetails", "1"},
                   {"zoom", "14"},
                   {"accept-language", language}});
}

Result<std::vector<MapItem>> NominatimPlaceSearch::parseSearch(std::string_view body) {
  json answer = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded() || !answer.is_array()) {
    return Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::badAnswer),
                 "The place search answered with malformed JSON");
  }
  std::vector<MapItem> items;
  for (const auto& place : answer) {
    if (auto item = itemFrom(place)) items.push_back(std::move(*item));
  }
  return items;
}

Result<MapItem> NominatimPlaceSearch::parseReverse(std::string_view body) {
  json answer = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded() || !answer.is_object()) {
    return Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::badAnswer),
                 "The place search answered with malformed JSON");
  }
  if (auto error = text(answer, "error")) {
    return Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::notFound),
                 "No place at this position: " + *error);
  }
  auto item = itemFrom(answer);
  if (!item) {
    return Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::notFound),
                 "The place search named no place at this position");
  }
  return *item;
}

TaskHandle NominatimPlaceSearch::search(const PlaceSearchRequest& request, PlaceSearchCompletion completion) {
  return fetch(searchURL(request), [completion = std::move(completion)](Result<std::string> body) {
    if (!body.ok()) return completion(body.error());
    completion(parseSearch(body.value()));
  });
}

TaskHandle NominatimPlaceSearch::reverseGeocode(const LocationCoordinate& coordinate, const std::string& language,
                                                ReverseGeocodeCompletion completion) {
  return fetch(reverseURL(coordinate, language), [completion = std::move(completion)](Result<std::string> body) {
    if (!body.ok()) return completion(body.error());
    completion(parseReverse(body.value()));
  });
}

TaskHandle NominatimPlaceSearch::fetch(Result<std::string> url, BodyCompletion deliver) {
  TaskHandle handle = TaskHandle::make();
  runner_->post([this, alive = alive_, url = std::move(url), handle, deliver = std::move(deliver)]() mutable {
    if (!*alive || handle.isCancelled()) return;
    if (!url.ok()) return deliver(url.error());
    if (auto body = cached(url.value())) return deliver(std::move(*body));
    enqueue(Job{url.value(), handle, std::move(deliver)});
  });
  return handle;
}

void NominatimPlaceSearch::enqueue(Job job) {
  queue_.push_back(std::move(job));
  pump();
}

void NominatimPlaceSearch::pump() {
  while (!queue_.empty() && queue_.front().handle.isCancelled()) queue_.pop_front();
  if (queue_.empty() || pumpScheduled_) return;
  Job job = std::move(queue_.front());
  queue_.pop_front();
  // Another request may already have brought the answer.
  if (auto body = cached(job.url)) {
    job.deliver(std::move(*body));
    pump();
    return;
  }
  const Date now = runner_->clock().wallNow();
  const Date slot = spacing_->claim(now);
  if (slot <= now) {
    send(std::move(job));
    pump();
    return;
  }
  // The job holds its slot; the rest of the queue waits behind it.
  pumpScheduled_ = true;
  runner_->postDelayed(std::chrono::duration_cast<Duration>(slot - now),
                       [this, alive = alive_, job = std::move(job)]() mutable {
                         if (!*alive) return;
                         pumpScheduled_ = false;
                         if (!job.handle.isCancelled()) send(std::move(job));
                         pump();
                       });
}

void NominatimPlaceSearch::send(Job job) {
  ++sent_;
  HttpRequest request;
  request.url = job.url;
  request.headers = {{"User-Agent", userAgent_}, {"Accept", "application/json"}};
  request.timeout = timeout_;
  request.maxBodyBytes = 1u << 20;
  request.cancellation = job.handle.token();
  http_->get(std::move(request), [this, alive = alive_, runner = runner_, job](Result<HttpResponse> response) mutable {
    runner->post([this, alive, job = std::move(job), response = std::move(response)]() mutable {
      if (!*alive) return;
      Result<std::string> body = std::string();
      if (!response.ok()) {
        body = response.error();
      } else if (response->statusCode == 429) {
        body = placeSearchRateLimited(response->retryAfterSeconds);
      } else if (response->statusCode != 200) {
        body = Error(kPlaceSearchErrorDomain, static_cast<int>(PlaceSearchErrorCode::serviceFailed),
                     "The place search returned status " + std::to_string(response->statusCode));
      } else {
        // Kept even when the asker has gone: the next one may ask the same.
        remember(job.url, response->body);
        body = std::move(response->body);
      }
      if (!job.handle.isCancelled()) job.deliver(std::move(body));
    });
  });
}

std::optional<std::string> NominatimPlaceSearch::cached(const std::string& url) {
  const MonoTime now = runner_->clock().now();
  for (auto it = cache_.begin(); it != cache_.end(); ++it) {
    if (it->url != url) continue;
    if (now - it->stored > kCacheLifetime) {
      cache_.erase(it);
      return std::nullopt;
    }
    cache_.splice(cache_.begin(), cache_, it);
    return cache_.front().body;
  }
  return std::nullopt;
}

void NominatimPlaceSearch::remember(const std::string& url, std::string body) {
  for (auto it = cache_.begin(); it != cache_.end(); ++it) {
    if (it->url == url) {
      cache_.erase(it);
      break;
    }
  }
  cache_.push_front(CacheEntry{url, runner_->clock().now(), std::move(body)});
  if (cache_.size() > kCacheCapacity) cache_.pop_back();
}

}  // namespace pallix
