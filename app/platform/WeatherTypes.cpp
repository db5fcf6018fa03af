#include "app/platform/WeatherTypes.h"

#include <cmath>

namespace pallix {

const char* weatherDataKindRawValue(WeatherDataKind kind) {
  switch (kind) {
    case WeatherDataKind::current:
      return "current";
    case WeatherDataKind::hourly:
      return "hourly";
    case WeatherDataKind::daily:
      return "daily";
    case WeatherDataKind::minute:
      return "minute";
    case WeatherDataKind::alerts:
      return "alerts";
  }
  return "current";
}

std::string compassDirection(double degrees) {
  static const char* const kPoints[] = {"N", "NNE", "NE", "ENE", "E", "ESE", "SE", "SSE",
                                        "S", "SSW", "SW", "WSW", "W", "WNW", "NW", "NNW"};
  if (!std::isfinite(degrees)) return "";
  double normalized = std::fmod(degrees, 360.0);
  if (normalized < 0) normalized += 360.0;
  const int index = static_cast<int>(std::floor(normalized / 22.5 + 0.5)) % 16;
  return kPoints[index];
}

}  // namespace pallix
