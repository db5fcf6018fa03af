// OpenMeteoWeatherService: the forecast service over Open-Meteo's keyless
// forecast API ("/v1/forecast"): current conditions, hourly, daily and
// 15-minute precipitation data with times as Unix seconds. The base URL is
// configuration ("OpenMeteoWeatherService.baseURL"). The API has no alerts;
// alerts are always empty.
//
// Threading: any thread; the completion runs on the HTTP client's thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/platform/HttpClient.h"
#include "app/platform/WeatherService.h"

namespace pallix {

class OpenMeteoWeatherService final : public WeatherService {
 public:
  static constexpr const char* kBaseURLKey = "OpenMeteoWeatherService.baseURL";
  static constexpr const char* kDefaultBaseURL = "https://api.open-meteo.com";
  static constexpr const char* kErrorDomain = "OpenMeteoWeatherServiceError";

  OpenMeteoWeatherService(std::shared_ptr<HttpClient> http, std::string baseURL,
                          Duration timeout = std::chrono::seconds(6));

  TaskHandle fetchWeather(const WeatherServiceRequest& request, WeatherServiceCompletion completion) override;

  Result<std::string> requestURL(const WeatherServiceRequest& request) const;
  // Reads a forecast answer; blocks and fields that are missing or null are left out.
  static Result<WeatherServiceResult> parseForecast(std::string_view body, const WeatherServiceRequest& request);
  // The WMO weather code as condition text and symbol name.
  static WeatherCondition condition(int weatherCode, bool isDay);

 private:
  std::shared_ptr<HttpClient> http_;
  std::string baseURL_;
  Duration timeout_;
};

}  // namespace pallix
