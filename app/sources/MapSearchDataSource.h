// MapSearchDataSource: places for a query (identifier `maps`), from the
// platform place search restricted to addresses and points of interest, and
// biased to 25 km around the device's last known location when there is
// one. The ambient highlights use searchPlaces() for an event's place.
//
// Threading: called on the main runner; answers hop back to it. One search
// is active at a time: a new one cancels the previous.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/intelligence/LocationProvider.h"
#include "app/platform/PlaceSearch.h"
#include "core/Logger.h"

namespace pallix {

class MapSearchDataSource final : public MapSource {
 public:
  static constexpr int kMaxResults = 3;
  static constexpr double kRegionRadius = 25000;  // metres

  // `location` may be null (no region bias).
  MapSearchDataSource(std::shared_ptr<PlaceSearch> placeSearch, std::shared_ptr<LocationProvider> location,
                      TaskRunnerPtr mainRunner, std::string language = "en");
  ~MapSearchDataSource() override;

  VCRDataSourceIdentifier identifier() const override { return VCRDataSourceIdentifier::maps; }
  bool shouldHandle(const std::string& query) override;
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override;
  void reset() override { cancelActiveQuery(); }

  std::optional<Location> lastKnownLocation() const override;
  void searchPlaces(const std::string& text, std::function<void(std::vector<MapSearchResult>)> completion) override;
  // As searchPlaces, with the place search's error when it failed (a command
  // says "rate limited" rather than "nothing found").
  using PlacesCompletion = std::function<void(Result<std::vector<MapSearchResult>>)>;
  void findPlaces(const std::string& text, PlacesCompletion completion);

  // The place words of a query: "pharmacy near me" -> "pharmacy", "directions to Lyon" -> "Lyon".
  static std::string placeText(std::string_view query);
  static MapSearchResult resultFor(const MapItem& item);

 private:
  TaskHandle runSearch(const std::string& text, PlacesCompletion completion);

  std::shared_ptr<PlaceSearch> placeSearch_;
  std::shared_ptr<LocationProvider> location_;
  TaskRunnerPtr main_;
  std::string language_;
  TaskHandle activeSearch_;
  Logger logger_{"MapSearchDataSource"};
  WeakGuard weak_;
};

}  // namespace pallix
