#include "app/sources/MapSearchDataSource.h"

#include <array>

#include "app/intelligence/IntelligenceText.h"

namespace pallix {

namespace {

constexpr std::array<std::string_view, 14> kLeadIns = {
    "directions to ", "route to ",   "navigate to ", "drive to ", "walk to ", "transit to ", "how do i get to ",
    "how to get to ", "take me to ", "map of ",      "where is ", "find ",    "nearest ",    "closest "};
constexpr std::array<std::string_view, 7> kTails = {" near me",     " around me", " nearby",    " around here",
                                                    " close to me", " close by",  " on the map"};

}  // namespace

MapSearchDataSource::MapSearchDataSource(std::shared_ptr<PlaceSearch> placeSearch,
                                         std::shared_ptr<LocationProvider> location, TaskRunnerPtr mainRunner,
                                         std::string language)
    : placeSearch_(std::move(placeSearch)),
      location_(std::move(location)),
      main_(std::move(mainRunner)),
      language_(std::move(language)) {}

MapSearchDataSource::~MapSearchDataSource() {
  activeSearch_.cancel();
}

bool MapSearchDataSource::shouldHandle(const std::string& query) {
  return placeText(query).size() >= 2;
}

std::string MapSearchDataSource::placeText(std::string_view query) {
  std::string text = intelligence::collapseWhitespace(intelligence::trimmed(query));
  std::string lower = intelligence::lowercasePosix(text);
  bool changed = true;
  while (changed) {
    changed = false;
    for (std::string_view lead : kLeadIns) {
      if (lower.size() > lead.size() && lower.compare(0, lead.size(), lead) == 0) {
        text = text.substr(lead.size());
        lower = lower.substr(lead.size());
        changed = true;
      }
    }
    for (std::string_view tail : kTails) {
      if (lower.size() > tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0) {
        text.resize(text.size() - tail.size());
        lower.resize(lower.size() - tail.size());
        changed = true;
      }
    }
  }
  return intelligence::trimmed(text);
}

MapSearchResult MapSearchDataSource::resultFor(const MapItem& item) {
  std::optional<std::string> subtitle = item.shortAddress ? item.shortAddress : item.fullAddress;
  if (subtitle && *subtitle == item.name) subtitle = item.locality;
  return MapSearchResult{item, item.name, subtitle};
}

std::optional<Location> MapSearchDataSource::lastKnownLocation() const {
  return location_ ? location_->lastLocation() : std::nullopt;
}

void MapSearchDataSource::cancelActiveQuery() {
  activeSearch_.cancel();
  activeSearch_ = TaskHandle();
}

TaskHandle MapSearchDataSource::runSearch(const std::string& text, PlacesCompletion completion) {
  PlaceSearchRequest request;
  request.text = placeText(text);
  request.resultTypes = {PlaceResultType::address, PlaceResultType::pointOfInterest};
  request.limit = kMaxResults + 2;
  request.language = language_;
  if (auto location = lastKnownLocation()) request.region = PlaceSearchRegion{location->coordinate, kRegionRadius};
  if (!placeSearch_ || request.text.empty()) {
    completion(std::vector<MapSearchResult>{});
    return TaskHandle();
  }
  // The platform's handle cancels both its request and the hop back here.
  auto handle = std::make_shared<TaskHandle>();
  auto apply = weak_.wrap([this, handle, completion, query = request.text](Result<std::vector<MapItem>> items) {
    if (handle->isCancelled()) return;
    if (!items.ok()) {
      logger_.info("Place search failed for \"%s\": %s", query.c_str(), items.error().description().c_str());
      completion(items.error());
      return;
    }
    std::vector<MapSearchResult> results;
    for (const MapItem& item : items.value()) {
      if (results.size() == static_cast<size_t>(kMaxResults)) break;
      results.push_back(resultFor(item));
    }
    completion(std::move(results));
  });
  *handle = placeSearch_->search(request, [main = main_, apply](Result<std::vector<MapItem>> items) mutable {
    main->post([apply, items = std::move(items)]() mutable { apply(std::move(items)); });
  });
  return *handle;
}

void MapSearchDataSource::performSearch(const std::string& query, SearchCompletion completion) {
  cancelActiveQuery();
  activeSearch_ = runSearch(query, [completion](Result<std::vector<MapSearchResult>> results) {
    // A refusal is said as one: "nothing found" would send the user to rephrase a query that was fine.
    if (!results.ok() && isPlaceSearchRateLimited(results.error())) {
      return completion(
          VCRDataSourceResult(SourceNotice{VCRDataSourceIdentifier::maps, results.error().description()}));
    }
    if (!results.ok() || results->empty()) return completion(std::nullopt);
    completion(VCRDataSourceResult(std::move(results).value()));
  });
}

void MapSearchDataSource::searchPlaces(const std::string& text,
                                       std::function<void(std::vector<MapSearchResult>)> completion) {
  runSearch(text, [completion = std::move(completion)](Result<std::vector<MapSearchResult>> results) {
    completion(results.ok() ? std::move(results).value() : std::vector<MapSearchResult>{});
  });
}

void MapSearchDataSource::findPlaces(const std::string& text, PlacesCompletion completion) {
  runSearch(text, std::move(completion));
}

}  // namespace pallix
