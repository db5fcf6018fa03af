// IntelligenceSourceSet: builds the intelligence data sources and the
// location provider over the platform services, with the web endpoints
// read from the user defaults, and owns the executors they work on
// ("Calendar" and "Contacts" for store reads, "Dictionary" for WordNet
// look-ups). The application and the command line hand its sources() to the
// intelligence coordinator; the commands that expose one source use the
// members.
//
// Endpoints (user-defaults keys, defaults in parentheses):
//   OpenMeteoWeatherService.baseURL  (https://api.open-meteo.com)             forecasts
//   OpenMeteoGeocoder.baseURL        (https://geocoding-api.open-meteo.com)   weather place names
//   NominatimPlaceSearch.baseURL     (https://nominatim.openstreetmap.org)    places, reverse geocoding
//   WikipediaDataSource.baseURL      (https://api.duckduckgo.com)             encyclopedia
//   WikipediaDataSource.webOrigin    (https://duckduckgo.com)                 relative image paths
//
// Threading: create, use and destroy on the main runner. shutdown() stops
// the executors; call it before destroying what the sources point to.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/intelligence/IntelligenceCoordinator.h"
#include "app/platform/NominatimPlaceSearch.h"
#include "app/platform/OpenMeteoGeocoder.h"
#include "app/platform/OpenMeteoWeatherService.h"
#include "app/platform/SourceServices.h"
#include "app/sources/CalendarSearchDataSource.h"
#include "app/sources/ContactSearchDataSource.h"
#include "app/sources/DictionaryDataSource.h"
#include "app/sources/MapSearchDataSource.h"
#include "app/sources/SystemLocationProvider.h"
#include "app/sources/WeatherDataSource.h"
#include "app/sources/WikipediaDataSource.h"
#include "core/UserDefaults.h"

namespace pallix {

struct SourceEndpoints {
  std::string forecast = OpenMeteoWeatherService::kDefaultBaseURL;
  std::string geocoding = OpenMeteoGeocoder::kDefaultBaseURL;
  std::string places = NominatimPlaceSearch::kDefaultBaseURL;
  std::string instantAnswer = WikipediaDataSource::kDefaultBaseURL;
  std::string instantAnswerWebOrigin = WikipediaDataSource::kDefaultWebOrigin;

  // The defaults, each replaced by its user-defaults key when that holds a string.
  static SourceEndpoints fromDefaults(const UserDefaults& defaults);
};

class IntelligenceSourceSet {
 public:
  struct Options {
    TaskRunnerPtr mainRunner;
    std::string userAgent = "Pallix";
    std::string timeZoneId;  // empty: the process's zone
    // Makes the executors; null: SerialExecutors (tests pass virtual-time runners).
    std::function<TaskRunnerPtr(const std::string& name)> makeRunner;
    // The file that spaces place-search requests across processes; empty:
    // within this process only.
    std::string placeSearchSpacingPath;
  };

  IntelligenceSourceSet(SourceServices services, const UserDefaults& defaults, Options options);
  ~IntelligenceSourceSet();
  IntelligenceSourceSet(const IntelligenceSourceSet&) = delete;
  IntelligenceSourceSet& operator=(const IntelligenceSourceSet&) = delete;

  // The coordinator's sources (the calculator is added by the caller).
  IntelligenceSources sources() const;
  std::shared_ptr<SystemLocationProvider> locationProvider() const { return location_; }
  const SourceEndpoints& endpoints() const { return endpoints_; }
  const SourceServices& services() const { return services_; }

  // Resolves the current location once without a coordinator (the commands
  // that stand alone): the fixed place, a fix within `timeout`, or none.
  void resolveCurrentLocationOnce(Duration timeout, LocationCompletion completion);

  void shutdown();

  std::shared_ptr<PlaceSearch> placeSearch;    // Nominatim: places and reverse geocoding
  std::shared_ptr<PlaceSearch> weatherPlaces;  // Open-Meteo geocoding
  std::shared_ptr<WeatherService> weatherService;
  std::shared_ptr<WeatherDataSource> weather;
  std::shared_ptr<MapSearchDataSource> maps;
  std::shared_ptr<CalendarSearchDataSource> calendar;
  std::shared_ptr<ContactSearchDataSource> contacts;
  std::shared_ptr<DictionaryDataSource> dictionary;
  std::shared_ptr<WikipediaDataSource> wikipedia;

 private:
  SourceServices services_;
  SourceEndpoints endpoints_;
  Options options_;
  std::vector<TaskRunnerPtr> executors_;
  std::shared_ptr<SystemLocationProvider> location_;
  WeakGuard weak_;
};

}  // namespace pallix
