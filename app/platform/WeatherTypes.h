// WeatherTypes: the weather values a forecast service answers with and the
// weather source's snapshot carries. Units are fixed: temperatures in degrees
// Celsius, speeds in kilometres per hour, pressure in hectopascals,
// visibility in metres, precipitation intensity in millimetres per hour,
// humidity and precipitation chances as fractions from 0 to 1. Plain values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"

namespace pallix {

enum class WeatherDataKind { current, hourly, daily, minute, alerts };
// "current", "hourly", "daily", "minute", "alerts".
const char* weatherDataKindRawValue(WeatherDataKind kind);

struct WindSummary {
  double speed = 0;
  std::optional<double> gust;
  std::optional<std::string> direction;  // compass text, "NNE"
  friend bool operator==(const WindSummary&, const WindSummary&) = default;
};

struct CurrentWeather {
  Date date;
  std::string condition;   // "Light Rain"
  std::string symbolName;  // "cloud.rain"
  double temperature = 0;
  std::optional<double> apparentTemperature;
  std::optional<double> highTemperature;
  std::optional<double> lowTemperature;
  std::optional<double> humidity;
  std::optional<double> pressure;
  std::optional<double> dewPoint;
  std::optional<double> visibility;
  std::optional<int> uvIndex;
  std::optional<WindSummary> wind;
  friend bool operator==(const CurrentWeather&, const CurrentWeather&) = default;
};

struct HourForecast {
  Date date;  // the start of the hour
  std::string symbolName;
  double temperature = 0;
  std::optional<double> precipitationChance;
  std::optional<WindSummary> wind;
  friend bool operator==(const HourForecast&, const HourForecast&) = default;
};

struct DayForecast {
  Date date;  // local midnight of the day
  std::string symbolName;
  double highTemperature = 0;
  double lowTemperature = 0;
  std::optional<double> precipitationChance;
  std::optional<Date> sunrise;
  std::optional<Date> sunset;
  std::optional<WindSummary> wind;
  friend bool operator==(const DayForecast&, const DayForecast&) = default;
};

struct MinuteForecast {
  Date date;
  double precipitationIntensity = 0;
  friend bool operator==(const MinuteForecast&, const MinuteForecast&) = default;
};

struct WeatherAlert {
  std::string id;
  std::string title;
  std::string summary;
  std::string severity;  // the provider's severity word
  std::optional<Date> issuedDate;
  std::optional<Date> expiresDate;
  std::optional<std::string> detailsURL;
  friend bool operator==(const WeatherAlert&, const WeatherAlert&) = default;
};

// A condition as text and symbol name.
struct WeatherCondition {
  std::string text;
  std::string symbolName;
};

// Compass text for a direction in degrees (0 = north, 90 = east): 16 points.
std::string compassDirection(double degrees);

}  // namespace pallix
