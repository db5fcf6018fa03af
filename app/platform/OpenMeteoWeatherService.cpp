#include "app/platform/OpenMeteoWeatherService.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/Strings.h"

namespace pallix {

namespace {

using nlohmann::json;

constexpr const char* kCurrentVariables =
    "temperature_2m,relative_humidity_2m,apparent_temperature,is_day,weather_code,pressure_msl,wind_speed_10m,"
    "wind_direction_10m,wind_gusts_10m,dew_point_2m,visibility,uv_index";
constexpr const char* kHourlyVariables =
    "temperature_2m,precipitation_probability,weather_code,wind_speed_10m,wind_direction_10m,wind_gusts_10m,is_day";
constexpr const char* kDailyVariables =
    "weather_code,temperature_2m_max,temperature_2m_min,precipitation_probability_max,sunrise,sunset,"
    "wind_speed_10m_max,wind_gusts_10m_max,wind_direction_10m_dominant";
constexpr int kMaxForecastDays = 16;

std::optional<double> number(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

// Element i of the array object[key], when it is a number.
std::optional<double> element(const json& object, const char* key, size_t i) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_array() || i >= it->size() || !(*it)[i].is_number()) return std::nullopt;
  const double v = (*it)[i].get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

Date dateAt(double seconds) {
  return dateFromSecondsSince1970(seconds);
}

std::optional<WindSummary> wind(std::optional<double> speed, std::optional<double> gust,
                                std::optional<double> direction) {
  if (!speed) return std::nullopt;
  WindSummary w{*speed, gust, std::nullopt};
  if (direction) w.direction = compassDirection(*direction);
  return w;
}

std::optional<double> fraction(std::optional<double> percent) {
  if (!percent) return std::nullopt;
  return std::clamp(*percent / 100.0, 0.0, 1.0);
}

}  // namespace

OpenMeteoWeatherService::OpenMeteoWeatherService(std::shared_ptr<HttpClient> http, std::string baseURL,
                                                 Duration timeout)
    : http_(std::move(http)), baseURL_(std::move(baseURL)), timeout_(timeout) {}

WeatherCondition OpenMeteoWeatherService::condition(int code, bool isDay) {
  switch (code) {
    case 0:
      return {"Clear", isDay ? "sun.max" : "moon.stars"};
    case 1:
      return {"Mostly Clear", isDay ? "sun.min" : "moon"};
    case 2:
      return {"Partly Cloudy", isDay ? "cloud.sun" : "cloud.moon"};
    case 3:
      return {"Cloudy", "cloud"};
    case 45:
      return {"Fog", "cloud.fog"};
    case 48:
      return {"Icy Fog", "cloud.fog"};
    case 51:
    case 53:
      return {"Drizzle", "cloud.drizzle"};
    case 55:
      return {"Heavy Drizzle", "cloud.drizzle"};
    case 56:
    case 57:
      return {"Freezing Drizzle", "cloud.sleet"};
    case 61:
      return {"Light Rain", "cloud.rain"};
    case 63:
      return {"Rain", "cloud.rain"};
    case 65:
      return {"Heavy Rain", "cloud.heavyrain"};
    case 66:
    case 67:
      return {"Freezing Rain", "cloud.sleet"};
    case 71:
      return {"Light Snow", "cloud.snow"};
    case 73:
      return {"Snow", "cloud.snow"};
    case 75:
      return {"Heavy Snow", "cloud.snow"};
    case 77:
      return {"Snow Grains", "cloud.snow"};
    case 80:
    case 81:
      return {"Rain Showers", "cloud.rain"};
    case 82:
      return {"Violent Rain Showers", "cloud.heavyrain"};
    case 85:
    case 86:
      return {"Snow Showers", "cloud.snow"};
    case 95:
      return {"Thunderstorm", "cloud.bolt.rain"};
    case 96:
    case 99:
      return {"Thunderstorm with Hail", "cloud.hail"};
    default:
      return {"Unknown", "cloud"};
  }
}

Result<std::string> OpenMeteoWeatherService::requestURL(const WeatherServiceRequest& request) const {
  const auto wants = [&](WeatherDataKind k) { return request.kinds.count(k) != 0; };
  std::vector<QueryItem> items = {{"latitude", stringPrintf("%.4f", request.coordinate.latitude)},
                                  {"longitude", stringPrintf("%.4f", request.coordinate.longitude)},
                                  {"timezone", "auto"},
                                  {"timeformat", "unixtime"},
                                  // The current block is the reference time for trimming the others.
                                  {"current", kCurrentVariables}};
  if (wants(WeatherDataKind::hourly)) items.push_back({"hourly", kHourlyVariables});
  if (wants(WeatherDataKind::daily) || wants(WeatherDataKind::current)) items.push_back({"daily", kDailyVariables});
  if (wants(WeatherDataKind::minute)) items.push_back({"minutely_15", "precipitation"});
  const int hoursInDays = (request.hourlyLimit + 23) / 24 + 1;
  const int days = std::clamp(std::max(request.dailyLimit, hoursInDays), 1, kMaxForecastDays);
  items.push_back({"forecast_days", std::to_string(days)});
  return buildURL(baseURL_, "/v1/forecast", items);
}

Result<WeatherServiceResult> OpenMeteoWeatherService::parseForecast(std::string_view body,
                                                                    const WeatherServiceRequest& request) {
  json answer = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded() || !answer.is_object()) {
    return Error(kErrorDomain, 3, "The forecast service answered with malformed JSON");
  }
  if (answer.value("error", false)) {
    return Error(kErrorDomain, 4,
                 "The forecast service refused the request: " + answer.value("reason", std::string("no reason given")));
  }
  WeatherServiceResult result;
  if (auto tz = answer.find("timezone"); tz != answer.end() && tz->is_string())
    result.timeZone = tz->get<std::string>();

  std::optional<double> reference;
  if (auto c = answer.find("current"); c != answer.end() && c->is_object()) {
    reference = number(*c, "time");
    auto temperature = number(*c, "temperature_2m");
    if (reference && temperature) {
      CurrentWeather current;
      current.date = dateAt(*reference);
      const bool isDay = number(*c, "is_day").value_or(1) != 0;
      WeatherCondition cond = condition(static_cast<int>(number(*c, "weather_code").value_or(-1)), isDay);
      current.condition = cond.text;
      current.symbolName = cond.symbolName;
      current.temperature = *temperature;
      current.apparentTemperature = number(*c, "apparent_temperature");
      current.humidity = fraction(number(*c, "relative_humidity_2m"));
      current.pressure = number(*c, "pressure_msl");
      current.dewPoint = number(*c, "dew_point_2m");
      current.visibility = number(*c, "visibility");
      if (auto uv = number(*c, "uv_index")) current.uvIndex = static_cast<int>(std::lround(*uv));
      current.wind = wind(number(*c, "wind_speed_10m"), number(*c, "wind_gusts_10m"), number(*c, "wind_direction_10m"));
      result.current = current;
    }
  }

  if (auto h = answer.find("hourly"); h != answer.end() && h->is_object() && h->contains("time")) {
    const size_t count = (*h)["time"].is_array() ? (*h)["time"].size() : 0;
    for (size_t i = 0; i < count && result.hourly.size() < static_cast<size_t>(std::max(request.hourlyLimit, 0)); ++i) {
      auto time = element(*h, "time", i);
      auto temperature = element(*h, "temperature_2m", i);
      if (!time || !temperature) continue;
      if (reference && *time + 3600 <= *reference) continue;  // hours already over
      const bool isDay = element(*h, "is_day", i).value_or(1) != 0;
      HourForecast hour;
      hour.date = dateAt(*time);
      hour.symbolName = condition(static_cast<int>(element(*h, "weather_code", i).value_or(-1)), isDay).symbolName;
      hour.temperature = *temperature;
      hour.precipitationChance = fraction(element(*h, "precipitation_probability", i));
      hour.wind = wind(element(*h, "wind_speed_10m", i), element(*h, "wind_gusts_10m", i),
                       element(*h, "wind_direction_10m", i));
      result.hourly.push_back(hour);
    }
  }

  if (auto d = answer.find("daily"); d != answer.end() && d->is_object() && d->contains("time")) {
    const size_t count = (*d)["time"].is_array() ? (*d)["time"].size() : 0;
    for (size_t i = 0; i < count && result.daily.size() < static_cast<size_t>(std::max(request.dailyLimit, 1)); ++i) {
      auto time = element(*d, "time", i);
      auto high = element(*d, "temperature_2m_max", i);
      auto low = element(*d, "temperature_2m_min", i);
      if (!time || !high || !low) continue;
      if (reference && *time + 86400 <= *reference) continue;  // days already over
      DayForecast day;
      day.date = dateAt(*time);
      day.symbolName = condition(static_cast<int>(element(*d, "weather_code", i).value_or(-1)), true).symbolName;
      day.highTemperature = *high;
      day.lowTemperature = *low;
      day.precipitationChance = fraction(element(*d, "precipitation_probability_max", i));
      if (auto sunrise = element(*d, "sunrise", i)) day.sunrise = dateAt(*sunrise);
      if (auto sunset = element(*d, "sunset", i)) day.sunset = dateAt(*sunset);
      day.wind = wind(element(*d, "wind_speed_10m_max", i), element(*d, "wind_gusts_10m_max", i),
                      element(*d, "wind_direction_10m_dominant", i));
      result.daily.push_back(day);
    }
  }

  if (auto m = answer.find("minutely_15"); m != answer.end() && m->is_object() && m->contains("time")) {
    const size_t count = (*m)["time"].is_array() ? (*m)["time"].size() : 0;
    const size_t limit = static_cast<size_t>(std::max(request.minuteLimit, 0) + 14) / 15;
    for (size_t i = 0; i < count && result.minute.size() < limit; ++i) {
      auto time = element(*m, "time", i);
      auto amount = element(*m, "precipitation", i);
      if (!time || !amount) continue;
      if (reference && *time + 900 <= *reference) continue;
      // Millimetres per quarter hour, as an hourly rate.
      result.minute.push_back(MinuteForecast{dateAt(*time), std::max(0.0, *amount) * 4.0});
    }
  }
  return result;
}

TaskHandle OpenMeteoWeatherService::fetchWeather(const WeatherServiceRequest& request,
                                                 WeatherServiceCompletion completion) {
  auto url = requestURL(request);
  if (!url.ok()) {
    completion(url.error());
    return TaskHandle();
  }
  HttpRequest http;
  http.url = url.value();
  http.headers = {{"Accept", "application/json"}};
  http.timeout = timeout_;
  http.maxBodyBytes = 2u << 20;
  return http_->get(std::move(http), [request, completion = std::move(completion)](Result<HttpResponse> response) {
    if (!response.ok()) return completion(response.error());
    if (response->statusCode != 200) {
      return completion(
          Error(kErrorDomain, 2, "The forecast service returned status " + std::to_string(response->statusCode)));
    }
    completion(parseForecast(response->body, request));
  });
}

}  // namespace pallix
