// WeatherService: the platform forecast service behind the weather source:
// one fetch for a coordinate, restricted to the data kinds asked for and
// trimmed to the given limits. OpenMeteoWeatherService is the real one.
//
// Threading: fetchWeather may be called from any thread; the completion runs
// on a thread of the service's HTTP client, exactly once unless the returned
// handle was cancelled (then it may be dropped).
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/platform/GeoTypes.h"
#include "app/platform/WeatherTypes.h"
#include "core/Error.h"
#include "core/TaskRunner.h"

namespace pallix {

struct WeatherServiceRequest {
  LocationCoordinate coordinate;
  std::set<WeatherDataKind> kinds;
  int hourlyLimit = 24;
  int dailyLimit = 7;
  int minuteLimit = 60;  // minutes of precipitation forecast
};

struct WeatherServiceResult {
  std::optional<CurrentWeather> current;
  std::vector<HourForecast> hourly;  // from the current hour on
  std::vector<DayForecast> daily;    // from today on
  std::vector<MinuteForecast> minute;
  std::vector<WeatherAlert> alerts;
  std::optional<std::string> timeZone;  // Olson name of the place
};

using WeatherServiceCompletion = std::function<void(Result<WeatherServiceResult>)>;

class WeatherService {
 public:
  virtual ~WeatherService() = default;
  virtual TaskHandle fetchWeather(const WeatherServiceRequest& request, WeatherServiceCompletion completion) = 0;
};

}  // namespace pallix
