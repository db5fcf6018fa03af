#include "app/sources/IntelligenceSourceSet.h"

#include "app/platform/RecordedHttpClient.h"
#include "core/RunLoop.h"

namespace pallix {

SourceEndpoints SourceEndpoints::fromDefaults(const UserDefaults& defaults) {
  SourceEndpoints e;
  auto read = [&](const char* key, std::string& field) {
    if (auto value = defaults.stringValue(key); value && !value->empty()) field = *value;
  };
  read(OpenMeteoWeatherService::kBaseURLKey, e.forecast);
  read(OpenMeteoGeocoder::kBaseURLKey, e.geocoding);
  read(NominatimPlaceSearch::kBaseURLKey, e.places);
  read(WikipediaDataSource::kBaseURLKey, e.instantAnswer);
  read(WikipediaDataSource::kWebOriginKey, e.instantAnswerWebOrigin);
  return e;
}

IntelligenceSourceSet::IntelligenceSourceSet(SourceServices services, const UserDefaults& defaults, Options options)
    : services_(std::move(services)),
      endpoints_(SourceEndpoints::fromDefaults(defaults)),
      options_(std::move(options)) {
  auto makeRunner = [this](const std::string& name) -> TaskRunnerPtr {
    TaskRunnerPtr runner = options_.makeRunner ? options_.makeRunner(name) : SerialExecutor::create(name);
    executors_.push_back(runner);
    return runner;
  };
  const TaskRunnerPtr& main = options_.mainRunner;
  location_ =
      std::make_shared<SystemLocationProvider>(services_.location, SystemLocationProvider::fixedPlace(defaults), main);
  if (services_.http) {
    std::shared_ptr<RequestSpacing> spacing;
    if (!options_.placeSearchSpacingPath.empty()) {
      spacing = std::make_shared<LockFileRequestSpacing>(options_.placeSearchSpacingPath,
                                                         NominatimPlaceSearch::kMinimumInterval);
    }
    // Each source's requests are counted under its name (`pallix status`).
    auto http = [this](const char* source) { return std::make_shared<RecordedHttpClient>(services_.http, source); };
    placeSearch = std::make_shared<NominatimPlaceSearch>(http("maps"), endpoints_.places, options_.userAgent, main,
                                                         std::move(spacing));
    weatherPlaces = std::make_shared<OpenMeteoGeocoder>(http("weather"), endpoints_.geocoding);
    weatherService = std::make_shared<OpenMeteoWeatherService>(http("weather"), endpoints_.forecast);
    WeatherDataSource::Dependencies weatherDeps{weatherService, weatherPlaces,       placeSearch,
                                                main,           options_.timeZoneId, "en"};
    weatherDeps.qualifiedPlaceSearch = placeSearch;
    weather = std::make_shared<WeatherDataSource>(std::move(weatherDeps));
    maps = std::make_shared<MapSearchDataSource>(placeSearch, location_, main);
    WikipediaDataSource::Configuration wiki;
    wiki.baseURL = endpoints_.instantAnswer;
    wiki.webOrigin = endpoints_.instantAnswerWebOrigin;
    wikipedia = std::make_shared<WikipediaDataSource>(http("wikipedia"), main, wiki);
  }
  if (services_.calendarStore) {
    calendar = std::make_shared<CalendarSearchDataSource>(CalendarSearchDataSource::Dependencies{
        services_.calendarStore, makeRunner("Calendar"), main, options_.timeZoneId});
  }
  if (services_.contactStore) {
    contacts = std::make_shared<ContactSearchDataSource>(
        ContactSearchDataSource::Dependencies{services_.contactStore, makeRunner("Contacts"), main});
  }
  if (services_.dictionary && services_.dictionary->isAvailable()) {
    dictionary = std::make_shared<DictionaryDataSource>(services_.dictionary, makeRunner("Dictionary"), main);
  }
  if (weather) {
    // Standalone use; the coordinator installs its own provider when it is built.
    weather->setCurrentLocationProvider(weak_.wrap([this](LocationCompletion completion) {
      resolveCurrentLocationOnce(std::chrono::seconds(10), std::move(completion));
    }));
  }
}

IntelligenceSourceSet::~IntelligenceSourceSet() {
  shutdown();
}

IntelligenceSources IntelligenceSourceSet::sources() const {
  IntelligenceSources s;
  s.contacts = contacts;
  s.calendar = calendar;
  s.maps = maps;
  s.weather = weather;
  s.dictionary = dictionary;
  s.wikipedia = wikipedia;
  return s;
}

void IntelligenceSourceSet::resolveCurrentLocationOnce(Duration timeout, LocationCompletion completion) {
  auto provider = location_;
  if (!isLocationAuthorized(provider->authorizationStatus()) || !provider->locationServicesEnabled()) {
    completion(std::nullopt);
    return;
  }
  if (auto last = provider->lastLocation()) {
    completion(last);
    return;
  }
  auto pending = std::make_shared<LocationCompletion>(std::move(completion));
  auto finish = [pending](std::optional<Location> location) {
    if (auto done = std::move(*pending)) {
      *pending = nullptr;
      done(std::move(location));
    }
  };
  provider->setDelegate(LocationProvider::Delegate{[finish](const std::vector<Location>& locations) {
                                                     if (!locations.empty()) finish(locations.back());
                                                   },
                                                   [finish](const Error&) { finish(std::nullopt); }, nullptr});
  options_.mainRunner->postDelayed(timeout, [finish] { finish(std::nullopt); });
  provider->requestLocation();
}

void IntelligenceSourceSet::shutdown() {
  for (auto& runner : executors_) {
    if (auto* executor = dynamic_cast<SerialExecutor*>(runner.get())) executor->shutdown();
  }
  executors_.clear();
}

}  // namespace pallix
